#pragma once
// A client socket of the tool's own for the HTTP/2 connections: a non-blocking TCP connect
// to each address in turn, then (for https) TLS by OpenSSL with ALPN. The certificate checks
// give libcurl's verdict on every certificate: the chain verified (a trusted intermediate is
// enough), the host checked by libcurl's rule rather than OpenSSL's, and the store libcurl
// was built with, or the configured CA file in its place.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "web/proxy_setting.h"

namespace vellicor::web {

struct SocketTarget {
    std::string host;  // for SNI and the certificate check; "[::1]" or "::1" for IPv6
    int port = 0;
    std::vector<std::string> numeric;  // tried in order; empty resolves host
    bool tls = true;
    std::vector<std::string> alpn;  // offered in this order
    std::string caFile;             // empty: the store built into libcurl
    // Through this proxy's tunnel (numeric is then unused: the proxy finds the host), or
    // directly when its url is empty. Never around it.
    ProxySetting proxy;
    long connectTimeoutMs = 0;  // for the tunnel
};

class ProxyTunnel;

class ClientSocket {
  public:
    // Fails only where no address can be had; a connect that fails shows in state().
    static Result<std::unique_ptr<ClientSocket>> open(const SocketTarget& target);
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    enum class State { Connecting, Handshaking, Open, Failed };
    State state() const { return state_; }
    // Moves the connect and the handshake on as far as they go now; never blocks.
    void advance();
    const Error& error() const { return error_; }
    // What ALPN settled once Open: "h2", "http/1.1" or "".
    const std::string& alpn() const { return alpn_; }
    int fd() const { return fd_; }
    // POLLIN / POLLOUT as the socket waits for them now.
    short events(bool haveOutput) const;
    // Once Open: the most one write may carry and still cross the path as one TCP segment (its
    // TLS records cut to the segments); 0 where the system does not tell the segment size.
    std::size_t packetRoom() const { return packetRoom_; }

    enum class Io { Done, Again, Closed, Broken };
    // Appends what arrived (up to one TLS record) to `into`.
    Io read(std::string& into);
    // Writes from `bytes` with one write; `taken` is how many bytes the peer will see (for
    // TLS: whole records only).
    Io write(std::string_view bytes, std::size_t& taken);
    // The system's words for the last failed read or write.
    std::string lastFailure() const;
    void close();

  private:
    ClientSocket() = default;
    void connectNext();
    void advanceTunnel();
    void connected();
    void handshake();
    void failWith(ErrorCode code, const std::string& why);

    SocketTarget target_;
    std::string where_;
    std::vector<std::vector<unsigned char>> addresses_;  // sockaddr bytes
    std::size_t next_ = 0;
    std::string lastConnectError_;
    int fd_ = -1;
    std::unique_ptr<ProxyTunnel> tunnel_;  // owns fd_ when there is one
    struct Tls;
    std::unique_ptr<Tls> tls_;
    State state_ = State::Connecting;
    Error error_;
    std::string alpn_;
    bool wantWrite_ = false;  // TLS asked for POLLOUT to go on
    int lastErrno_ = 0;
    std::size_t packetRoom_ = 0;
};

}  // namespace vellicor::web
