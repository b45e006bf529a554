#pragma once
// A small loopback TCP server for the tests: it reads one request per connection and hands
// the connection to a script that answers however the test needs (properly, partly, never,
// through TLS, or by forwarding as a proxy). Not a general server: it only has to be exact.

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "loopback_server.h"

namespace vellicor::test {

class Connection {
  public:
    Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    // Reads a message head and, with a Content-Length, its body (a request, or a reply
    // that is not chunked). Empty when the peer left.
    std::string readRequest();
    bool send(std::string_view bytes);
    // Closes with a reset instead of an orderly end.
    void reset();
    int fd() const { return fd_; }

  private:
    bool readMore(std::string& into);
    int fd_;
    SSL* ssl_;
};

class RawServer {
  public:
    using Script = std::function<void(Connection&, const std::string& request)>;

    // Listens on 127.0.0.1, a free port. With certificate and key files it speaks TLS.
    explicit RawServer(Script script, const std::string& certFile = {},
                       const std::string& keyFile = {});
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    std::uint16_t port() const { return server_.port(); }
    std::string url(std::string_view path = "/") const { return server_.url(path); }
    std::vector<std::string> requests() const;  // every request head received, in order

    // For scripts that must hold a connection open: returns once the server is stopping.
    void waitForStop();

  private:
    void serve(int fd);

    Script script_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    std::vector<std::string> requests_;
    LoopbackServer server_;  // last: it stops before what its connections use goes
};

// A reply with the given status line, extra header lines (each ending "\r\n") and body.
std::string httpReply(std::string_view status, std::string_view headers, std::string_view body);

// Scripts for the usual cases.
RawServer::Script replyWith(std::string reply);
RawServer::Script echoRequest();  // 200, the body is the request as received

// A plain HTTP forwarding proxy for absolute-form requests to 127.0.0.1; one request per
// connection, replies with a Content-Length.
RawServer::Script forwardingProxy();

}  // namespace vellicor::test
