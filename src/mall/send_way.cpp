#include "mall/send_way.h"

#include "web/page_request.h"

namespace vellicor::mall {

// Connections of the run's own are opened during the lead time before the instant; without
// one there is nothing to open them in. Through a proxy a plain request would be written
// for the proxy: that one goes by libcurl. Over TLS that offers it (or when asked for), the
// requests become HTTP/2 streams.
SendWay firstWay(const Config& config, const WayFacts& facts) {
    const auto address = web::splitAddress(config.mall);
    if (!address || facts.workers == 0 || !facts.written || config.timer.preopenLeadMs <= 0) {
        return SendWay::Transfers;
    }
    if (!config.http.proxy.empty() && !address->secure) {
        return SendWay::Transfers;
    }
    const auto version = config.http.version;
    const bool wantsHttp2 =
        version == HttpVersion::Http2 || (version == HttpVersion::Auto && address->secure);
    return facts.streamable && wantsHttp2 ? SendWay::Wave : SendWay::Connections;
}

}  // namespace vellicor::mall
