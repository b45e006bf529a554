#include "portal/server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "portal/connection.h"
#include "portal/mall_state.h"
#include "portal/pages.h"

namespace vellicor::portal {

namespace {

constexpr std::size_t kLoggedBodyBytes = 64 * 1024;

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 413:
            return "Payload Too Large";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Unknown";
    }
}

std::string httpDate(WallTime at) {
    const auto secs = std::chrono::floor<std::chrono::seconds>(at.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday],
                  tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

WallTime offsetBy(WallTime t, double ms) {
    return t + std::chrono::duration_cast<WallTime::duration>(
                   std::chrono::nanoseconds(std::llround(ms * 1e6)));
}

SimReply jsonReply(int status, const nlohmann::json& j) {
    SimReply r;
    r.status = status;
    r.contentType = "application/json; charset=utf-8";
    r.body = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return r;
}

// The faults whose endpoint never gets to do its work: nothing changes in the mall.
bool skipsPage(FaultMode m) {
    switch (m) {
        case FaultMode::Refuse:
        case FaultMode::Hang:
        case FaultMode::GarbageStatus:
        case FaultMode::Status429:
        case FaultMode::Status503:
        case FaultMode::RedirectLoop:
        case FaultMode::HugeBody:
        case FaultMode::NoMarker:
            return true;
        default:
            return false;
    }
}

SimReply faultPage(const Fault& f, const std::string& target) {
    switch (f.mode) {
        case FaultMode::Status429: {
            SimReply r = htmlReply(429, page("提示", "<p>请求过于频繁，请稍后再试</p>"));
            r.headers.emplace_back("Retry-After", "1");
            return r;
        }
        case FaultMode::Status503: {
            SimReply r = htmlReply(503, page("提示", "<p>服务暂时不可用</p>"));
            r.headers.emplace_back("Retry-After", "1");
            return r;
        }
        case FaultMode::RedirectLoop: {
            SimReply r = htmlReply(302, page("跳转", "<p>跳转中</p>"));
            r.headers.emplace_back("Location", target);
            return r;
        }
        case FaultMode::HugeBody: {
            SimReply r;
            r.contentType = "text/html; charset=gbk";
            return r;
        }
        default:
            return htmlReply(200, page("游戏人生", "<p>系统维护中，请稍后访问</p>"));
    }
}

// Bytes that no GBK decoder accepts, put in front of the page's own text: an 0xFF, a lead
// byte with a trail below range, a lead byte followed by "<".
void spoilGbk(SimReply& r) {
    const auto at = r.body.find("<body>");
    r.body.insert(at == std::string::npos ? 0 : at + 6, "\xFF\x81\x7F\xFE<i>\xFE</i>\x81");
}

}  // namespace

std::string replyHead(const SimReply& reply, const std::string& date, const std::string& length,
                      bool keepAlive) {
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                       "\r\nServer: vellicor-portal\r\nDate: " + date +
                       "\r\nContent-Type: " + reply.contentType + "\r\n";
    for (const auto& [name, value] : reply.headers) {
        head += name + ": " + value + "\r\n";
    }
    if (!length.empty()) {
        head += "Content-Length: " + length + "\r\n";
    }
    head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return head;
}

std::string LoggedRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers) {
        if (n.size() == name.size() &&
            std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return v;
        }
    }
    return {};
}

struct Server::Impl final : RequestHandler {
    explicit Impl(const ServerOptions& o)
        : options(o), clock(o.clock != nullptr ? o.clock : &SystemClock::instance()) {}

    ServerOptions options;
    const Clock* clock;
    MallState state;
    mutable std::mutex logMutex;
    std::deque<LoggedRequest> requests;
    std::atomic<std::uint64_t> nextConnection{1};
    std::uint16_t plainPort = 0;
    std::uint16_t securePort = 0;
    std::vector<std::string> selfAuthorities;
    std::optional<asio::ssl::context> tls;
    // The io context goes before the objects that use it; connections die with it.
    asio::io_context io;
    std::optional<tcp::acceptor> plainAcceptor;
    std::optional<tcp::acceptor> tlsAcceptor;
    std::vector<std::thread> threads;
    std::once_flag stopOnce;

    PortalTime portalTime(double offsetMs, std::optional<int> utc) const {
        const WallTime now = offsetBy(clock->wallNow(), offsetMs);
        return PortalTime{now, utc ? *utc : clock->utcOffsetSeconds(now)};
    }
    PortalTime portalTime() const {
        return portalTime(state.clockOffsetMs(), state.utcOffsetSeconds());
    }

    // The portal's clock at a real-time moment. A clock of the test's own cannot be matched to
    // real time, so on it the moment is its now, when the request is handled.
    PortalTime portalTimeAt(std::int64_t realNanos) const {
        if (options.clock != nullptr) {
            return portalTime();
        }
        const WallTime real(
            std::chrono::duration_cast<WallTime::duration>(std::chrono::nanoseconds(realNanos)));
        const WallTime now = offsetBy(real, state.clockOffsetMs());
        const auto utc = state.utcOffsetSeconds();
        return PortalTime{now, utc ? *utc : clock->utcOffsetSeconds(now)};
    }

    std::string dateHeader() const override { return httpDate(portalTime().now); }
    PathDelay path(const HttpRequest& req) override {
        return req.target().starts_with("/__sim/") ? PathDelay{} : state.drawPath();
    }
    std::chrono::milliseconds idleTimeout() const override {
        return std::chrono::milliseconds(state.idleTimeoutMs());
    }

    Status setScenario(const std::string& json) {
        auto parsed = parseScenario(json);
        if (!parsed.ok()) {
            return parsed.error();
        }
        const PortalTime at = portalTime(parsed->clockOffsetMs, parsed->utcOffsetSeconds);
        state.setScenario(std::move(parsed).value(), at);
        return Ok{};
    }

    void record(const HttpRequest& req, const Arrival& arrival, std::uint64_t connection,
                bool secure) {
        LoggedRequest entry;
        entry.method = std::string(req.method_string());
        entry.target = std::string(req.target());
        for (const auto& field : req) {
            entry.headers.emplace_back(std::string(field.name_string()),
                                       std::string(field.value()));
        }
        entry.cookies = std::string(req[http::field::cookie]);
        entry.arrivalNanos = arrival.firstNanos != 0 ? arrival.firstNanos : realtimeNanos();
        entry.arrivalMicros = entry.arrivalNanos / 1000;
        entry.completedNanos = arrival.lastNanos != 0 ? arrival.lastNanos : entry.arrivalNanos;
        entry.connectedNanos = arrival.connectedNanos;
        entry.connection = connection;
        entry.secure = secure;
        entry.body = req.body().substr(0, kLoggedBodyBytes);
        std::lock_guard lock(logMutex);
        requests.push_back(std::move(entry));
        while (requests.size() > options.logCapacity) {
            requests.pop_front();
        }
    }

    Planned plan(const HttpRequest& req, const Arrival& arrival, std::uint64_t connection,
                 bool secure) override {
        const std::string target(req.target());
        Planned p;
        p.headOnly = req.method() == http::verb::head;
        if (target.starts_with("/__sim/")) {
            p.reply = control(req, target);
            p.date = dateHeader();
            return p;
        }
        // The mall decides by its clock when the request came in whole. It dates its answer
        // then, or as the answer leaves after the page's work; "OPTIONS *" is answered by the
        // server itself, with no page and no work.
        const PortalTime takenAt = portalTimeAt(arrival.lastNanos);
        const double workMs = target == "*" ? 0.0 : state.workMs(target);
        record(req, arrival, connection, secure);
        p.fault = state.takeFault(target);
        if (skipsPage(p.fault.mode)) {
            p.reply = faultPage(p.fault, target);
        } else {
            SimRequest sr = makeRequest(std::string(req.method_string()), target,
                                        std::string(req[http::field::cookie]), req.body(),
                                        std::string(req[http::field::content_type]));
            PageContext context{state, takenAt, selfAuthorities};
            p.reply = route(sr, context);
        }
        if (p.fault.mode == FaultMode::InvalidGbk) {
            spoilGbk(p.reply);
        }
        p.delayMs = workMs + state.replyDelayMs() +
                    (p.fault.mode == FaultMode::Delay ? p.fault.delayMs : 0);
        const auto leaves = arrival.lastNanos + std::llround(p.delayMs * 1e6);
        p.date = httpDate(state.datesOnDeparture() ? portalTimeAt(leaves).now : takenAt.now);
        return p;
    }

    SimReply control(const HttpRequest& req, const std::string& target) {
        const bool post = req.method() == http::verb::post;
        if (target == "/__sim/scenario" && post) {
            const Status s = setScenario(req.body());
            return s.ok() ? jsonReply(200, {{"ok", true}})
                          : jsonReply(400, {{"ok", false}, {"error", s.error().message}});
        }
        if (target == "/__sim/log" && req.method() == http::verb::get) {
            return jsonReply(200, logJson());
        }
        if (target == "/__sim/log/clear" && post) {
            std::lock_guard lock(logMutex);
            requests.clear();
            return jsonReply(200, {{"ok", true}});
        }
        if (target == "/__sim/state" && req.method() == http::verb::get) {
            return jsonReply(200, stateJson());
        }
        return jsonReply(404, {{"ok", false}, {"error", "no such control endpoint"}});
    }

    nlohmann::json logJson() const {
        nlohmann::json list = nlohmann::json::array();
        std::lock_guard lock(logMutex);
        for (const auto& r : requests) {
            nlohmann::json headers = nlohmann::json::array();
            for (const auto& [n, v] : r.headers) {
                headers.push_back({n, v});
            }
            list.push_back({{"method", r.method},
                            {"target", r.target},
                            {"headers", headers},
                            {"cookies", r.cookies},
                            {"arrivalMicros", r.arrivalMicros},
                            {"arrivalNanos", r.arrivalNanos},
                            {"connection", r.connection},
                            {"secure", r.secure},
                            {"body", r.body}});
        }
        return list;
    }

    nlohmann::json stateJson() const {
        nlohmann::json stock = nlohmann::json::object();
        for (const auto& item : catalogue()) {
            stock[std::to_string(item.propsid)] = state.stock(item.propsid);
        }
        nlohmann::json balances = nlohmann::json::object();
        for (const auto& a : state.scenario().accounts) {
            nlohmann::json b = nlohmann::json::object();
            for (const auto& [gid, n] : state.balances(a.uin)) {
                b[std::to_string(gid)] = n;
            }
            balances[a.uin] = b;
        }
        return {{"stock", stock}, {"balances", balances}};
    }

    template <typename Transport>
    void accept(tcp::acceptor& acceptor) {
        acceptor.async_accept(asio::make_strand(io), [this, &acceptor](ErrorCodeType ec,
                                                                       tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor.is_open()) {
                return;
            }
            if (!ec) {
                launch<Transport>(std::move(socket));
                accept<Transport>(acceptor);
                return;
            }
            // Out of descriptors or the like: try again shortly instead of spinning.
            auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(20));
            timer->async_wait(
                [this, &acceptor, timer](ErrorCodeType) { accept<Transport>(acceptor); });
        });
    }

    template <typename Transport>
    void launch(tcp::socket socket) {
        const std::uint64_t id = nextConnection++;
        if constexpr (Transport::kSecure) {
            std::make_shared<Connection<TlsTransport>>(*this, id, std::move(socket), *tls)->start();
        } else {
            std::make_shared<Connection<PlainTransport>>(*this, id, std::move(socket))->start();
        }
    }

    Result<std::uint16_t> listen(std::optional<tcp::acceptor>& acceptor, std::uint16_t port) {
        ErrorCodeType ec;
        acceptor.emplace(io);
        const tcp::endpoint at(asio::ip::make_address_v4(options.host, ec), port);
        if (!ec) {
            acceptor->open(at.protocol(), ec);
        }
        if (!ec) {
            acceptor->set_option(asio::socket_base::reuse_address(true), ec);
        }
        if (!ec) {
            acceptor->bind(at, ec);
        }
        if (!ec) {
            acceptor->listen(4096, ec);
        }
        if (ec) {
            return makeError(ErrorCode::Connect, "cannot listen on " + options.host + ":" +
                                                     std::to_string(port) + ": " + ec.message());
        }
        return acceptor->local_endpoint().port();
    }

    Status setupTls() {
        try {
            tls.emplace(asio::ssl::context::tls_server);
            tls->set_options(asio::ssl::context::default_workarounds |
                             asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                             asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
            tls->use_certificate_chain_file(options.tlsCertFile);
            tls->use_private_key_file(options.tlsKeyFile, asio::ssl::context::pem);
        } catch (const boost::system::system_error& e) {
            return makeError(ErrorCode::Tls,
                             "cannot load the TLS certificate or key: " + std::string(e.what()));
        }
        return Ok{};
    }

    void stopServing() {
        // Acceptors are not thread-safe: close them once no io thread runs any more.
        std::call_once(stopOnce, [this] {
            io.stop();
            for (auto& t : threads) {
                if (t.joinable()) {
                    t.join();
                }
            }
            ErrorCodeType ignored;
            if (plainAcceptor) {
                plainAcceptor->close(ignored);
            }
            if (tlsAcceptor) {
                tlsAcceptor->close(ignored);
            }
        });
    }
};

Result<std::unique_ptr<Server>> Server::start(const std::string& scenarioJson, std::uint16_t port,
                                              int threads) {
    ServerOptions o;
    o.scenarioJson = scenarioJson;
    o.port = port;
    o.threads = threads;
    return start(o);
}

Result<std::unique_ptr<Server>> Server::start(const ServerOptions& options) {
    auto impl = std::make_unique<Impl>(options);
    if (Status s = impl->setScenario(options.scenarioJson); !s.ok()) {
        return s.error();
    }
    auto plain = impl->listen(impl->plainAcceptor, options.port);
    if (!plain.ok()) {
        return plain.error();
    }
    impl->plainPort = *plain;
    if (!options.tlsCertFile.empty() || !options.tlsKeyFile.empty()) {
        if (Status s = impl->setupTls(); !s.ok()) {
            return s.error();
        }
        auto secure = impl->listen(impl->tlsAcceptor, options.tlsPort);
        if (!secure.ok()) {
            return secure.error();
        }
        impl->securePort = *secure;
    }
    for (std::uint16_t p : {impl->plainPort, impl->securePort}) {
        if (p != 0) {
            impl->selfAuthorities.push_back(options.host + ":" + std::to_string(p));
            impl->selfAuthorities.push_back("localhost:" + std::to_string(p));
        }
    }
    impl->accept<PlainTransport>(*impl->plainAcceptor);
    if (impl->tlsAcceptor) {
        impl->accept<TlsTransport>(*impl->tlsAcceptor);
    }
    for (int i = 0; i < std::max(1, options.threads); ++i) {
        impl->threads.emplace_back([io = &impl->io] { io->run(); });
    }
    return std::unique_ptr<Server>(new Server(std::move(impl)));
}

Server::Server(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Server::~Server() {
    stop();
}

std::uint16_t Server::port() const {
    return impl_->plainPort;
}

std::string Server::baseUrl() const {
    return "http://" + impl_->options.host + ":" + std::to_string(port());
}

std::uint16_t Server::tlsPort() const {
    return impl_->securePort;
}

std::string Server::tlsBaseUrl() const {
    return tlsPort() == 0 ? std::string{}
                          : "https://" + impl_->options.host + ":" + std::to_string(tlsPort());
}

Status Server::setScenario(const std::string& scenarioJson) {
    return impl_->setScenario(scenarioJson);
}

std::vector<LoggedRequest> Server::log() const {
    std::lock_guard lock(impl_->logMutex);
    return {impl_->requests.begin(), impl_->requests.end()};
}

void Server::clearLog() {
    std::lock_guard lock(impl_->logMutex);
    impl_->requests.clear();
}

void Server::stop() {
    impl_->stopServing();
}

Result<std::string> Server::sessionCookie(const std::string& uin) {
    const std::string skey = impl_->state.openSession(uin);
    if (skey.empty()) {
        return makeError(ErrorCode::BadInput, "no account " + uin + " in the scenario");
    }
    return "uin=o" + uin + "; skey=" + skey;
}

std::int64_t Server::stock(std::int64_t propsid) const {
    return impl_->state.stock(propsid);
}

std::map<int, std::int64_t> Server::balances(const std::string& uin) const {
    return impl_->state.balances(uin);
}

}  // namespace vellicor::portal
