#include "mall/send_way.h"

#include "web/page_request.h"
#include "web/proxy_setting.h"

namespace vellicor::mall {

// Connections of the run's own are opened during the lead time before the instant; without
// one there is nothing to open them in. Through a proxy they are tunnels through it (CONNECT
// even for a plain mall), made in the lead like any other; requests that leave by different
// proxies (or some directly) each have connections of their own route (see RouteSplit). Over TLS
// that offers it (or when asked for), the requests become HTTP/2 streams.
SendWay firstWay(const Config& config, const WayFacts& facts) {
    const auto address = web::splitAddress(config.mall);
    if (!address || facts.workers == 0 || !facts.written || config.timer.preopenLeadMs <= 0) {
        return SendWay::Transfers;
    }
    const auto version = config.http.version;
    const bool wantsHttp2 =
        version == HttpVersion::Http2 || (version == HttpVersion::Auto && address->secure);
    return facts.streamable && wantsHttp2 ? SendWay::Wave : SendWay::Connections;
}

Config probeConfig(const Config& config, const std::vector<web::Account>& accounts) {
    Config probing = config;
    for (const web::Account& a : accounts) {
        if (!a.proxy.empty()) {
            probing.http.proxy = a.proxy;
            break;
        }
    }
    return probing;
}

std::string proxyLine(const std::vector<web::Account>& accounts, const std::string& configured) {
    const auto way = [&](const web::Account& a) {
        const std::string& proxy = web::proxyOf(a, configured);
        return proxy.empty() ? std::string("直连商城")
                             : "经代理 " + web::proxyForDisplay(proxy) + " 发往商城";
    };
    if (accounts.size() == 1) {
        return "请求" + way(accounts.front()) + "\r\n";
    }
    std::string line = "各帐号的去路：";
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        line += (i > 0 ? "；" : "") + accounts[i].name + " " + way(accounts[i]);
    }
    return line + "\r\n";
}

}  // namespace vellicor::mall
