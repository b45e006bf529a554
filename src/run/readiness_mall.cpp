// The mall's points of the readiness check, measured the way the run measures them: the
// clock's probes, the wave's first connection, the aim.

#include <algorithm>

#include "mall/aim.h"
#include "mall/clock_sync.h"
#include "mall/h2_wave.h"
#include "mall/send_way.h"
#include "run/readiness_points.h"
#include "web/page_request.h"
#include "web/proxy_setting.h"

namespace vellicor::run::detail {
namespace {

using std::chrono::nanoseconds;

// A bound wider than this places the first request too loosely to be first.
constexpr std::chrono::milliseconds kWideBound{20};

// Through the proxy the run's clock probes take, where there is one: a silence may be its.
std::string mallName(const Config& config) {
    const std::string way = config.http.proxy.empty()
                                ? ""
                                : "（经代理 " + web::proxyForDisplay(config.http.proxy) + "）";
    return "商城 " + config.mall + way;
}

// The round trip of a probe on a connection already open, and the handshake's; the first
// probe opens the connection. False when the mall does not answer.
bool checkRoundTrip(Lines& lines, const Config& probing) {
    const Clock& clock = lines.clock();
    auto prober = mall::mallDateProber(probing, clock, mall::probeAddresses(probing).front());
    auto probe = prober(std::nullopt);
    if (probe) {
        probe = prober(std::nullopt);
    }
    if (!probe) {
        lines.add(Mark::Fail, mallName(probing) + " 不应答：" + probe.error().message);
        return false;
    }
    std::string text = "到商城往返 " + millis(probe->received - probe->sent) + " 毫秒";
    if (probe->transport) {
        text += "（TCP 握手 " + millis(*probe->transport) + " 毫秒）";
    }
    lines.add(Mark::Pass, text);
    return true;
}

nanoseconds aimWidth(const Config& config, const mall::OffsetEstimate& estimate) {
    return config.timer.aim == TimerAim::Send ? estimate.upper - estimate.lower
                                              : estimate.arrivalWidth();
}

void checkClock(Lines& lines, const Result<mall::OffsetEstimate>& estimate) {
    const Config& config = lines.setup().config;
    if (!config.timer.useServerClock) {
        lines.add(Mark::Warn, "未启用商城时钟（timer.server_clock），定时按本机时钟");
        lines.add(Mark::Warn, "处理时间界：未读商城时钟，无从得出");
        return;
    }
    if (!estimate) {
        lines.add(Mark::Fail, "商城时钟读不出：" + estimate.error().message);
        lines.add(Mark::Fail, "处理时间界：商城时钟读不出，无从得出");
        return;
    }
    const nanoseconds width = aimWidth(config, *estimate);
    lines.add(width > kWideBound ? Mark::Warn : Mark::Pass,
              mall::offsetWords(*estimate) + "，瞄准所用的界宽 " + millis(width) + " 毫秒");
    if (estimate->answeredAtOnce()) {
        lines.add(Mark::Pass, "商城处理请求的时间界 " + millis(estimate->work) +
                                  " 毫秒，取自即刻应答的地址（往返减去 TCP 握手）");
    } else {
        lines.add(Mark::Warn, "没有即刻应答的地址：处理时间界 " + millis(estimate->work) +
                                  " 毫秒取自页面的整个处理，全数算在路上，请求宁迟勿早");
    }
}

struct Protocol {
    mall::H2Wave::Outcome outcome = mall::H2Wave::Outcome::Http1;
    std::uint32_t perConnection = 1;
};

// The wave's own first connection tells what the mall settles and how many streams it takes;
// only one is opened, whatever the run's size.
Protocol checkProtocol(Lines& lines, const Config& probing) {
    const auto address = web::splitAddress(probing.mall);
    const HttpVersion version = probing.http.version;
    if (!address || (!address->secure && version != HttpVersion::Http2)) {
        lines.add(Mark::Pass, "协议：明文 HTTP/1.1，不经 TLS 协商（ALPN）");
        return {};
    }
    mall::H2Wave::Request request;
    request.address = *address;
    request.http = probing.http;
    if (auto proxy = web::parseProxy(probing.http.proxy); proxy && !probing.http.proxy.empty()) {
        request.proxy = *proxy;
    }
    request.streams = 1;
    request.requireHttp2 = version == HttpVersion::Http2;
    request.deadline =
        lines.clock().steadyNow() + std::chrono::milliseconds(probing.http.connectTimeoutMs);
    const auto wave = mall::H2Wave::open(request, lines.clock());
    Protocol found{wave->outcome(), wave->perConnection()};
    switch (wave->outcome()) {
        case mall::H2Wave::Outcome::Http2:
            lines.add(Mark::Pass, "协议：TLS 协商（ALPN）为 h2，请求走 HTTP/2");
            break;
        case mall::H2Wave::Outcome::Http1:
            found.perConnection = 1;
            lines.add(Mark::Pass, "协议：TLS 协商（ALPN）为 " +
                                      (wave->alpn().empty() ? std::string("空") : wave->alpn()) +
                                      "，请求走 HTTP/1.1");
            break;
        case mall::H2Wave::Outcome::Unusable:
        case mall::H2Wave::Outcome::Unreachable:
            lines.add(Mark::Fail, "协议：" + wave->error().message);
            break;
    }
    return found;
}

void checkStreams(Lines& lines, const Protocol& protocol, int requests) {
    const int cap = std::max(1, lines.setup().config.exchange.maxConnectionsPerHost);
    using Outcome = mall::H2Wave::Outcome;
    if (protocol.outcome == Outcome::Unusable || protocol.outcome == Outcome::Unreachable) {
        lines.add(Mark::Fail, "每个连接的请求数：未能从商城得知");
        return;
    }
    const std::size_t connections =
        mall::H2Wave::connectionsFor(requests, protocol.perConnection, cap);
    std::string text =
        protocol.outcome == Outcome::Http2
            ? "商城每个连接最多 " + std::to_string(protocol.perConnection) + " 个请求"
            : std::string("HTTP/1.1 每个连接一个请求");
    // The wave may open more: as many as it takes for each one's share of the instant to
    // leave in one packet of the path, which only the run's own requests tell.
    const std::string open = protocol.outcome == Outcome::Http2 ? "至少开 " : "开 ";
    lines.add(Mark::Pass, text + "：本次 " + std::to_string(requests) + " 个请求" + open +
                              std::to_string(connections) + " 个连接");
}

void checkWave(Lines& lines, const Protocol& protocol, int requests) {
    const Config& config = lines.setup().config;
    mall::WayFacts facts;
    facts.workers = static_cast<std::size_t>(requests);
    facts.written = true;
    facts.streamable = true;
    const mall::SendWay way = mall::firstWay(config, facts);
    using Outcome = mall::H2Wave::Outcome;
    if (way == mall::SendWay::Transfers) {
        lines.add(Mark::Warn,
                  "波次不适用：未设提前建连（timer.preopen_lead_ms），请求逐个经 "
                  "libcurl 发出");
    } else if (way == mall::SendWay::Connections) {
        lines.add(Mark::Pass,
                  "波次不适用（配置或明文 HTTP 为 HTTP/1.1）：请求走本次自己的 "
                  "HTTP/1.1 连接，开门时一齐写出");
    } else if (protocol.outcome == Outcome::Http2) {
        lines.add(Mark::Pass, "波次适用：全部请求作为 HTTP/2 流，开门时每个连接一次写出");
    } else if (protocol.outcome == Outcome::Http1) {
        lines.add(Mark::Pass,
                  "波次不适用：商城只说 HTTP/1.1，请求走本次自己的 HTTP/1.1 连接，开门时一齐写出");
    } else {
        lines.add(Mark::Fail, "波次：未能与商城建立连接");
    }
}

// When the first request would reach the mall after the opening, by the aim a timed run
// would take from the same reading of the clock.
void checkAim(Lines& lines, const Result<mall::OffsetEstimate>& estimate,
              std::optional<schedule::TimeOfDay> at) {
    const Config& config = lines.setup().config;
    const Clock& clock = lines.clock();
    if (!at) {
        // A run of now has no opening: the bound is the one a set time would get.
        const auto opening =
            std::chrono::ceil<std::chrono::seconds>(clock.wallNow()) + std::chrono::seconds(60);
        const mall::FiringAim aim = mall::aimFiring(config, clock, estimate, opening);
        const Mark mark = aim.onMallClock ? Mark::Pass : Mark::Warn;
        lines.add(mark, "未给定时（--at）；若定时：" + withoutLineEnd(aim.line));
        return;
    }
    const mall::FiringAim aim = mall::aimFiring(config, clock, estimate, *at);
    const std::string head = "定时 " + schedule::formatTimeOfDay(*at) + "：";
    if (aim.passed) {
        lines.add(Mark::Fail, head + withoutLineEnd(aim.line));
    } else {
        lines.add(aim.onMallClock ? Mark::Pass : Mark::Warn, head + withoutLineEnd(aim.line));
    }
}

}  // namespace

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

void checkMall(Lines& lines, const MallPlan& plan) {
    const Config probing = mall::probeConfig(lines.setup().config, plan.accounts);
    if (!checkRoundTrip(lines, probing)) {
        // Each point would wait for the same silence again: they are named as not asked.
        for (const char* point :
             {"商城时钟", "处理时间界", "协议", "每个连接的请求数", "波次", "首个请求的到达时刻"}) {
            lines.add(Mark::Fail, std::string(point) + "：" + mallName(probing) + " 不应答");
        }
        return;
    }
    const auto estimate = mall::timerEstimate(probing, lines.clock());
    checkClock(lines, estimate);
    const Protocol protocol = checkProtocol(lines, probing);
    checkStreams(lines, protocol, plan.requests);
    checkWave(lines, protocol, plan.requests);
    checkAim(lines, estimate, plan.at);
}

}  // namespace vellicor::run::detail
