#pragma once
// A write that fits one TCP segment of the path crosses it as one packet: lost, it holds back
// only what it carries, and what the other connections carry arrives without it.

#include <openssl/ssl.h>

#include <cstddef>

namespace vellicor::web {

// Sizes the connection's TLS records to its segments, so that no record spans two of them on
// writes of any size, and returns the plaintext one write may hold and still leave as one
// segment. Read from the connected socket's maximum segment size (for a tunnel, the socket to
// the proxy); 0 where the system does not say. `ssl` is null on a plain connection.
std::size_t fitToSegments(int fd, SSL* ssl);

}  // namespace vellicor::web
