#pragma once
// A tunnel to the mall through a proxy, for connections of the tool's own that then do their
// own TLS inside it: CONNECT (with Basic credentials) or SOCKS5 with the mall's name resolved
// by the proxy. libcurl makes it (a connect-only handle on a multi handle of its own, moved on
// without blocking), so that every failure at the proxy reads as it does for libcurl's
// transfers. The socket stays libcurl's: the tunnel closes it when it goes.

#include <curl/curl.h>

#include <memory>
#include <string>

#include "platform/config.h"
#include "platform/result.h"
#include "web/proxy_setting.h"

namespace vellicor::web {

class ProxyTunnel {
  public:
    // `host` as the mall's address writes it ("[::1]" with brackets).
    static Result<std::unique_ptr<ProxyTunnel>> start(const ProxySetting& proxy,
                                                      const std::string& host, int port,
                                                      const HttpSettings& http);
    ~ProxyTunnel();
    ProxyTunnel(const ProxyTunnel&) = delete;
    ProxyTunnel& operator=(const ProxyTunnel&) = delete;

    enum class State { Opening, Open, Failed };
    // Moves the connect and the proxy's handshake on as far as they go now; never blocks.
    State advance();
    State state() const { return state_; }
    // The socket libcurl waits on while opening (-1 before it has one); the tunnel once open.
    int fd() const { return fd_; }
    short events() const;
    const Error& error() const { return error_; }

  private:
    ProxyTunnel() = default;
    static int onSocket(CURL* easy, curl_socket_t fd, int what, void* self, void* socketp);
    void finished(CURLcode code);

    ProxySetting proxy_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    int fd_ = -1;
    int what_ = 0;
    State state_ = State::Opening;
    Error error_;
    char errorText_[CURL_ERROR_SIZE] = {};
};

}  // namespace vellicor::web
