#include "web/proxy_tunnel.h"

#include <poll.h>

#include "web/proxy_failure.h"
#include "web/transfer.h"

namespace vellicor::web {

Result<std::unique_ptr<ProxyTunnel>> ProxyTunnel::start(const ProxySetting& proxy,
                                                        const std::string& host, int port,
                                                        const HttpSettings& http) {
    ensureCurlReady();
    std::unique_ptr<ProxyTunnel> t(new ProxyTunnel());
    t->proxy_ = proxy;
    t->multi_ = curl_multi_init();
    t->easy_ = curl_easy_init();
    if (t->multi_ == nullptr || t->easy_ == nullptr) {
        return makeError(ErrorCode::Internal, "无法建立代理隧道：curl 初始化失败");
    }
    const bool literalV6 = host.find(':') != std::string::npos && host.front() != '[';
    const std::string url =
        "http://" + (literalV6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
    CURL* e = t->easy_;
    CURLcode rc = curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) {
        rc = applyTunnelSettings(e, http, proxy);
    }
    if (rc == CURLE_OK) {
        rc = curl_easy_setopt(e, CURLOPT_CONNECT_ONLY, 1L);
    }
    if (rc == CURLE_OK) {
        rc = curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorText_);
    }
    if (rc != CURLE_OK) {
        return makeError(ErrorCode::Internal,
                         std::string("无法建立代理隧道：") + curl_easy_strerror(rc));
    }
    curl_multi_setopt(t->multi_, CURLMOPT_SOCKETFUNCTION, &ProxyTunnel::onSocket);
    curl_multi_setopt(t->multi_, CURLMOPT_SOCKETDATA, t.get());
    if (curl_multi_add_handle(t->multi_, e) != CURLM_OK) {
        return makeError(ErrorCode::Internal, "无法建立代理隧道：curl_multi_add_handle 失败");
    }
    t->advance();
    return t;
}

ProxyTunnel::~ProxyTunnel() {
    if (multi_ != nullptr && easy_ != nullptr) {
        curl_multi_remove_handle(multi_, easy_);
    }
    if (easy_ != nullptr) {
        curl_easy_cleanup(easy_);
    }
    if (multi_ != nullptr) {
        curl_multi_cleanup(multi_);
    }
}

int ProxyTunnel::onSocket(CURL*, curl_socket_t fd, int what, void* self, void*) {
    auto* t = static_cast<ProxyTunnel*>(self);
    if (t->state_ == State::Opening) {
        t->fd_ = what == CURL_POLL_REMOVE ? -1 : static_cast<int>(fd);
        t->what_ = what == CURL_POLL_REMOVE ? 0 : what;
    }
    return 0;
}

ProxyTunnel::State ProxyTunnel::advance() {
    if (state_ != State::Opening) {
        return state_;
    }
    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg == CURLMSG_DONE) {
            finished(msg->data.result);
        }
    }
    return state_;
}

short ProxyTunnel::events() const {
    if (state_ != State::Opening) {
        return 0;
    }
    return static_cast<short>(((what_ & CURL_POLL_IN) ? POLLIN : 0) |
                              ((what_ & CURL_POLL_OUT) ? POLLOUT : 0));
}

void ProxyTunnel::finished(CURLcode code) {
    curl_socket_t fd = CURL_SOCKET_BAD;
    if (code == CURLE_OK && curl_easy_getinfo(easy_, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK &&
        fd != CURL_SOCKET_BAD) {
        fd_ = static_cast<int>(fd);
        state_ = State::Open;
        return;
    }
    const std::string detail = errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(code);
    auto atProxy = proxyFailure(easy_, code, proxy_, detail);
    // Whatever else ends a tunnel before it is made is still the proxy's way that failed.
    error_ = atProxy ? *atProxy : proxyTunnelFailed(proxy_, detail);
    fd_ = -1;
    state_ = State::Failed;
}

}  // namespace vellicor::web
