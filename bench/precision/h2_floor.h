#pragma once
// The HTTP/2 floor: one connection opened and settled ahead (TLS with ALPN h2, both
// prefaces and SETTINGS exchanged), and every request's HEADERS framed ahead by an nghttp2
// client session, so that at the instant there is only one SSL_write of the whole wave and
// one send of its records.

#include <cstdint>
#include <memory>
#include <string>

#include "bench_common.h"
#include "platform/result.h"

namespace vellicor::bench {

class H2Floor {
  public:
    // A settled connection to 127.0.0.1:port, or why there is none.
    static Result<std::unique_ptr<H2Floor>> open(int port);
    ~H2Floor();
    H2Floor(const H2Floor&) = delete;
    H2Floor& operator=(const H2Floor&) = delete;

    // Frames `n` GET requests for `path`, each ending its stream with its HEADERS.
    Status prepare(int n, const std::string& path);
    // Writes what prepare() framed: one SSL_write, one send. False when it did not all go.
    bool fire();

  private:
    H2Floor() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vellicor::bench
