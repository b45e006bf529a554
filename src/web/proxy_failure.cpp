#include "web/proxy_failure.h"

namespace vellicor::web {

Error proxyUnreachable(const ProxySetting& proxy, const std::string& reason) {
    return makeError(ErrorCode::Proxy, "无法连接代理 " + proxy.display + "：" + reason);
}

Error proxyRefusedCredentials(const ProxySetting& proxy) {
    return makeError(ErrorCode::Proxy, "代理 " + proxy.display + " 拒绝了用户名或密码");
}

Error proxyTunnelFailed(const ProxySetting& proxy, const std::string& reason) {
    return makeError(ErrorCode::Proxy, "代理 " + proxy.display + " 未能连通商城：" + reason);
}

namespace {

bool socksRefusedCredentials(long socks) {
    return socks == CURLPX_USER_REJECTED || socks == CURLPX_NO_AUTH;
}

}  // namespace

std::optional<Error> proxyFailure(CURL* easy, CURLcode code, const ProxySetting& proxy,
                                  const std::string& detail) {
    if (proxy.url.empty() || code == CURLE_OK) {
        return std::nullopt;
    }
    long connectCode = 0;
    long socks = CURLPX_OK;
    curl_off_t connected = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    curl_easy_getinfo(easy, CURLINFO_PROXY_ERROR, &socks);
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
    if (connectCode == 407 || socksRefusedCredentials(socks)) {
        return proxyRefusedCredentials(proxy);
    }
    if ((connectCode != 0 && connectCode / 100 != 2) || socks != CURLPX_OK) {
        return proxyTunnelFailed(proxy, detail);
    }
    if (code == CURLE_COULDNT_RESOLVE_PROXY ||
        (connected == 0 && (code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT))) {
        return proxyUnreachable(proxy, detail);
    }
    // Through a proxy a connection that ends before any answer while its tunnel was made
    // is the proxy's doing: it took the request, and could not hand it on.
    if (code == CURLE_PROXY) {
        return proxyTunnelFailed(proxy, detail);
    }
    return std::nullopt;
}

}  // namespace vellicor::web
