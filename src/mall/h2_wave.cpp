#include "mall/h2_wave.h"

#include <poll.h>

#include <algorithm>
#include <optional>

#include "mall/preopen.h"
#include "web/packet_plan.h"

namespace vellicor::mall {
namespace {

using Phase = web::H2Connection::Phase;

// A mall that announces no limit still gets its streams spread: one connection carrying
// thousands of streams would make one TLS write of the whole wave far larger than a packet.
constexpr std::uint32_t kMostPerConnection = 256;

bool live(const std::unique_ptr<web::H2Connection>& c) {
    return c && (c->phase() == Phase::Ready || c->phase() == Phase::Opening);
}

bool opening(const std::unique_ptr<web::H2Connection>& c) {
    return c && c->phase() == Phase::Opening;
}

constexpr auto kRateWindow = std::chrono::seconds(1);
// How long the first connection may take before another one tries beside it (a SYN's first
// retransmission time-out), and how many try at most.
constexpr auto kFirstPatience = std::chrono::seconds(1);
constexpr std::size_t kMostFirsts = 3;
// Connections the wave may start in a second for streams waiting for room, at the least.
constexpr std::size_t kOpensPerSecond = 8;

}  // namespace

H2Wave::H2Wave(const Request& request, const Clock& clock) : request_(request), clock_(clock) {}

H2Wave::~H2Wave() = default;

std::unique_ptr<H2Wave> H2Wave::open(const Request& request, const Clock& clock) {
    std::unique_ptr<H2Wave> wave(new H2Wave(request, clock));
    wave->openFirst();
    if (wave->outcome_ == Outcome::Http2) {
        wave->openRest();
    }
    return wave;
}

bool H2Wave::startConnection() {
    web::H2Endpoint endpoint;
    endpoint.address = request_.address;
    endpoint.numeric = request_.numeric;
    endpoint.http = request_.http;
    endpoint.offerHttp1 = !request_.requireHttp2;
    endpoint.proxy = request_.proxy;
    endpoint.clock = &clock_;
    auto started = web::H2Connection::start(endpoint);
    if (!started) {
        error_ = started.error();
        lastError_ = started.error();
        return false;
    }
    opens_.push_back(clock_.steadyNow());
    // A slot of a connection that ended is taken again: no stream refers to it any more.
    const auto free = std::find(conns_.begin(), conns_.end(), nullptr);
    if (free != conns_.end()) {
        *free = std::move(started).value();
    } else {
        conns_.push_back(std::move(started).value());
    }
    return true;
}

bool settledOn(const std::unique_ptr<web::H2Connection>& c) {
    return c && (c->phase() == Phase::Ready || c->phase() == Phase::Http1);
}

// One poll over every connection still opening, until each has settled (or, with `toFirst`,
// one has settled on a protocol) or `until` came.
void H2Wave::driveOpening(Clock::Steady until, bool toFirst) {
    std::vector<pollfd> fds;
    std::vector<std::size_t> which;
    std::vector<Event> none;
    while (clock_.steadyNow() < until && !(request_.stopped && request_.stopped())) {
        if (toFirst && std::any_of(conns_.begin(), conns_.end(), settledOn)) {
            return;
        }
        fds.clear();
        which.clear();
        for (std::size_t i = 0; i < conns_.size(); ++i) {
            if (opening(conns_[i])) {
                fds.push_back({conns_[i]->fd(), conns_[i]->events(), 0});
                which.push_back(i);
            }
        }
        if (fds.empty()) {
            return;
        }
        ::poll(fds.data(), fds.size(), pollSliceMs(clock_, until));
        for (std::size_t k = 0; k < fds.size(); ++k) {
            conns_[which[k]]->service(fds[k].revents, none);
        }
    }
}

// The first connection to settle tells what the mall speaks. On a lossy path a handshake may
// wait out a retransmission time-out or two (a lost SYN goes again after 1 s, then 2 s more),
// which would spend the whole lead on one connection: while none has settled and some are
// still opening, another starts each second, up to a few. Those still opening go on as the
// wave's own.
void H2Wave::openFirst() {
    if (!startConnection()) {
        outcome_ = Outcome::Unreachable;
        return;
    }
    for (std::size_t tries = 1; tries < kMostFirsts; ++tries) {
        driveOpening(std::min(clock_.steadyNow() + kFirstPatience, request_.deadline), true);
        const bool settled = std::any_of(conns_.begin(), conns_.end(), settledOn);
        const bool waiting = std::any_of(conns_.begin(), conns_.end(), opening);
        if (settled || !waiting || clock_.steadyNow() >= request_.deadline ||
            (request_.stopped && request_.stopped()) || !startConnection()) {
            break;
        }
    }
    driveOpening(request_.deadline, true);
    const auto decided = std::find_if(conns_.begin(), conns_.end(), settledOn);
    if (decided != conns_.end()) {
        std::iter_swap(conns_.begin(), decided);
    }
    const web::H2Connection& first = *conns_.front();
    alpn_ = first.alpn();
    switch (first.phase()) {
        case Phase::Ready:
            break;
        case Phase::Http1:
            conns_.clear();
            if (request_.requireHttp2) {
                outcome_ = Outcome::Unusable;
                error_ =
                    makeError(ErrorCode::Transfer,
                              "商城不支持 HTTP/2（TLS 协商为 " +
                                  (first.alpn().empty() ? std::string("HTTP/1.1") : first.alpn()) +
                                  "），而配置要求 HTTP/2");
            } else {
                outcome_ = Outcome::Http1;
            }
            return;
        case Phase::Opening:
            error_ = makeError(ErrorCode::Timeout, "HTTP/2 连接未能及时建立");
            outcome_ = Outcome::Unreachable;
            conns_.clear();
            return;
        default:
            error_ = first.error();
            outcome_ = Outcome::Unreachable;
            conns_.clear();
            return;
    }
    if (first.maxStreams() == 0) {
        outcome_ = Outcome::Unusable;
        error_ =
            makeError(ErrorCode::Transfer,
                      "商城的 HTTP/2 设置不允许任何请求（SETTINGS_MAX_CONCURRENT_STREAMS 为 0）");
        conns_.clear();
        return;
    }
    perConnection_ = std::min(first.maxStreams(), kMostPerConnection);
    outcome_ = Outcome::Http2;
}

std::size_t H2Wave::connectionsFor(int streams, std::uint32_t perConnection, int maxConnections) {
    const auto wanted = static_cast<std::size_t>(std::max(1, streams));
    const std::size_t each = std::max<std::uint32_t>(1, perConnection);
    return std::min<std::size_t>((wanted + each - 1) / each,
                                 static_cast<std::size_t>(std::max(1, maxConnections)));
}

void H2Wave::openRest() {
    std::vector<Waiting> planned;
    for (const web::H2Request* r : request_.requests) {
        planned.push_back({0, r, request_.holdEnd});
    }
    const std::size_t need = std::min<std::size_t>(
        std::max(connectionsFor(request_.streams, perConnection_, request_.maxConnections),
                 connectionsFor(planned)),
        static_cast<std::size_t>(std::max(1, request_.maxConnections)));
    // Those of the first tries that failed make room for new ones.
    conns_.erase(
        std::remove_if(conns_.begin(), conns_.end(), [](const auto& c) { return !live(c); }),
        conns_.end());
    while (conns_.size() < need && startConnection()) {
    }
    driveOpening(request_.deadline, false);
    // Late or failed ones are of no use to the wave; their streams find room elsewhere.
    for (auto& c : conns_) {
        if (c && c->phase() != Phase::Ready) {
            c.reset();
        }
    }
    // Replacements come as fast as the run's own connections came at first, or a few a
    // second where it needed few.
    opensPerSecond_ = std::max(kOpensPerSecond, conns_.size());
    opens_.clear();
}

int H2Wave::connections() const {
    return static_cast<int>(std::count_if(conns_.begin(), conns_.end(), live));
}

// The connections a wave of these streams takes for each one's share to go in one packet,
// filled in order as place() fills them, within the stream limit.
std::size_t H2Wave::connectionsFor(const std::vector<Waiting>& streams) const {
    const auto model = std::find_if(conns_.begin(), conns_.end(),
                                    [](const auto& c) { return c && c->phase() == Phase::Ready; });
    if (model == conns_.end()) {
        return 0;
    }
    std::size_t connections = 0;
    std::uint32_t onIt = 0;
    std::optional<web::PacketPlan> plan;
    for (const Waiting& w : streams) {
        if (!plan || onIt == perConnection_ || !plan->take(*w.request, w.holdEnd)) {
            plan = (*model)->freshPlan();
            plan->take(*w.request, w.holdEnd);
            ++connections;
            onIt = 0;
        }
        ++onIt;
    }
    return connections;
}

bool H2Wave::hasRoom(std::size_t conn) const {
    const auto& c = conns_[conn];
    return c && c->phase() == Phase::Ready && c->acceptsStreams() &&
           c->openStreams() < std::min(perConnection_, c->maxStreams());
}

// Before the instant a stream goes where it still fits the connection's one packet, in order,
// so that each connection carries a run of workers taking turns by item and account; where
// none has packet room left, on the first with room for a stream, as without packets. A
// stream placed after the instant goes whole: there is no later moment to end it at.
bool H2Wave::place(const Waiting& w) {
    std::optional<std::size_t> at;
    for (std::size_t i = 0; i < conns_.size() && !at && !fired_; ++i) {
        if (hasRoom(i) && conns_[i]->plan().take(*w.request, w.holdEnd)) {
            at = i;
        }
    }
    for (std::size_t i = 0; i < conns_.size() && !at; ++i) {
        if (hasRoom(i)) {
            at = i;
            if (!fired_) {
                conns_[i]->plan().add(*w.request, w.holdEnd);
            }
        }
    }
    if (!at) {
        return false;
    }
    auto submitted = conns_[*at]->submit(*w.request, w.tag, w.holdEnd && !fired_);
    if (!submitted) {
        Event failed;
        failed.tag = w.tag;
        failed.kind = Event::Kind::Failed;
        failed.reply = submitted.error();
        late_.push_back(std::move(failed));
        return true;
    }
    placed_[w.tag] = Placed{*at, w};
    return true;
}

void H2Wave::prepare(std::uint64_t tag, const web::H2Request& request, bool holdEnd) {
    Waiting w{tag, &request, holdEnd};
    if (!place(w)) {
        waiting_.push_back(w);
    }
}

// Each connection gets a PING first, while nothing is held back yet: a connection that
// died unseen answers it with a reset, which the looks before the instant then find.
void H2Wave::stage(bool headsAhead) {
    for (auto& c : conns_) {
        if (c && c->phase() == Phase::Ready) {
            c->ping();
        }
    }
    staged_ = true;
    headsAhead_ = headsAhead;
    restage();
}

// Held streams are framed (or, with heads ahead, their HEADERS written); a connection
// already staged only adds the streams placed on it since.
void H2Wave::restage() {
    for (auto& c : conns_) {
        if (c && c->phase() == Phase::Ready) {
            if (headsAhead_) {
                c->flush();
            } else {
                c->stage();
            }
        }
    }
}

void H2Wave::look() {
    std::vector<Event> raw;
    pollAll(raw);
    dropDead(raw);
    for (auto& e : raw) {
        ended(std::move(e), late_);
    }
    if (waiting_.empty()) {
        return;
    }
    // Replacements first: the lost streams then go on them, each connection's in a packet,
    // rather than onto connections whose packet is full.
    openForWaiting();
    driveOpening(request_.deadline, false);
    raw.clear();
    dropDead(raw);
    for (auto& e : raw) {
        ended(std::move(e), late_);
    }
    placeWaiting();
}

void H2Wave::pollAll(std::vector<Event>& out) {
    std::vector<pollfd> fds;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < conns_.size(); ++i) {
        if (live(conns_[i])) {
            fds.push_back({conns_[i]->fd(), conns_[i]->events(), 0});
            which.push_back(i);
        }
    }
    if (fds.empty() || ::poll(fds.data(), fds.size(), 0) < 0) {
        return;
    }
    for (std::size_t k = 0; k < fds.size(); ++k) {
        auto& c = conns_[which[k]];
        if (fds[k].revents != 0 || c->phase() == Phase::Opening) {
            c->service(fds[k].revents, out);
        }
    }
}

void H2Wave::fire() {
    fired_ = true;
    for (auto& c : conns_) {
        if (c && c->phase() == Phase::Ready) {
            c->releaseEnds();
            c->flush();
        }
    }
    keepUp();
}

void H2Wave::send(std::uint64_t tag, const web::H2Request& request) {
    Waiting w{tag, &request, false};
    if (!place(w)) {
        waiting_.push_back(w);
        keepUp();
        return;
    }
    if (auto it = placed_.find(tag); it != placed_.end()) {
        conns_[it->second.conn]->flush();
    }
}

void H2Wave::cancel(std::uint64_t tag) {
    if (auto it = placed_.find(tag); it != placed_.end()) {
        if (auto& c = conns_[it->second.conn]) {
            c->cancel(tag);
        }
        placed_.erase(it);
        return;
    }
    std::erase_if(waiting_, [tag](const Waiting& w) { return w.tag == tag; });
}

bool H2Wave::written(std::uint64_t tag) const {
    const auto it = placed_.find(tag);
    return it != placed_.end() && conns_[it->second.conn] &&
           conns_[it->second.conn]->sentWhole(tag);
}

void H2Wave::addPolled(std::vector<PollEntry>& polled) {
    polledConn_.clear();
    for (std::size_t i = 0; i < conns_.size(); ++i) {
        if (live(conns_[i])) {
            polled.push_back({conns_[i]->fd(), conns_[i]->events(), 0});
            polledConn_.push_back(i);
        }
    }
}

void H2Wave::service(std::span<const PollEntry> polled, std::vector<Event>& out) {
    std::vector<Event> raw;
    for (std::size_t k = 0; k < polledConn_.size() && k < polled.size(); ++k) {
        auto& c = conns_[polledConn_[k]];
        const short revents = polled[k].revents;
        // An opening connection moves on its own time-outs too, not only on readiness.
        if (c && (revents != 0 || c->phase() == Phase::Opening)) {
            c->service(revents, raw);
        }
    }
    polledConn_.clear();
    for (auto& e : raw) {
        ended(std::move(e), out);
    }
    keepUp();
    out.insert(out.end(), std::make_move_iterator(late_.begin()),
               std::make_move_iterator(late_.end()));
    late_.clear();
}

// A connection that ended hands over what its streams left behind (the events of a write
// that failed outside service()), and its slot is freed.
void H2Wave::dropDead(std::vector<Event>& out) {
    for (auto& c : conns_) {
        if (!c || live(c)) {
            continue;
        }
        c->service(0, out);
        if (c->phase() == Phase::Http1) {
            lastError_ = makeError(ErrorCode::Transfer, "商城改用 HTTP/1.1，HTTP/2 连接无法继续");
        } else if (c->phase() == Phase::Failed) {
            lastError_ = c->error();
        }
        failedOpens_ = c->wasReady() && c->phase() != Phase::Http1 ? 0 : failedOpens_ + 1;
        c.reset();
    }
}

// Before the instant a stream refused with its connection simply goes on another one; from
// the instant on the caller hears of every stream that ended.
void H2Wave::ended(Event event, std::vector<Event>& out) {
    const auto it = placed_.find(event.tag);
    if (it == placed_.end()) {
        out.push_back(std::move(event));
        return;
    }
    if (!fired_ && event.kind == Event::Kind::Refused) {
        waiting_.push_back(it->second.stream);
        ++lostAhead_;
    } else {
        out.push_back(std::move(event));
    }
    placed_.erase(it);
}

// Streams waiting for room take what ended streams and newly opened connections left; a
// connection the mall closed or sent away is replaced while streams still wait.
void H2Wave::keepUp() {
    std::vector<Event> raw;
    dropDead(raw);
    for (auto& e : raw) {
        ended(std::move(e), late_);
    }
    placeWaiting();
    if (!waiting_.empty()) {
        openForWaiting();
    }
}

void H2Wave::placeWaiting() {
    std::vector<std::size_t> touched;
    while (!waiting_.empty()) {
        const Waiting w = waiting_.front();
        if (!place(w)) {
            break;
        }
        waiting_.pop_front();
        if (auto it = placed_.find(w.tag); it != placed_.end()) {
            touched.push_back(it->second.conn);
        }
    }
    if (!fired_) {
        if (staged_ && !touched.empty()) {
            restage();
        }
        return;
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (std::size_t i : touched) {
        if (conns_[i]) {
            conns_[i]->flush();
        }
    }
}

// As many connections as the waiting streams fill, within the per-host cap and the rate.
// Where none can be had any more (a few in a row failed and none is left), the streams end.
void H2Wave::openForWaiting() {
    const auto now = clock_.steadyNow();
    while (!opens_.empty() && now - opens_.front() >= kRateWindow) {
        opens_.pop_front();
    }
    const auto opened =
        static_cast<std::size_t>(std::count_if(conns_.begin(), conns_.end(), opening));
    if (failedOpens_ >= kMostFailedOpens) {
        if (connections() == 0) {
            failWaiting();
        }
        return;
    }
    const std::size_t wanted =
        fired_ ? (waiting_.size() + perConnection_ - 1) / perConnection_
               : connectionsFor(std::vector<Waiting>(waiting_.begin(), waiting_.end()));
    auto alive = static_cast<std::size_t>(connections());
    const auto cap = static_cast<std::size_t>(std::max(1, request_.maxConnections));
    for (std::size_t n = opened; n < wanted && alive < cap && opens_.size() < opensPerSecond_;
         ++n, ++alive) {
        if (!startConnection()) {
            if (connections() == 0) {
                failWaiting();
            }
            return;
        }
    }
}

Clock::Steady H2Wave::nextDeadline(Clock::Steady next) const {
    if (!waiting_.empty() && opens_.size() >= opensPerSecond_) {
        next = std::min(next, opens_.front() + kRateWindow);
    }
    return next;
}

// No connection can be had any more: what still waits for room ends with the reason.
void H2Wave::failWaiting() {
    const Error why = lastError_.message.empty()
                          ? makeError(ErrorCode::Connect, "无法建立新的 HTTP/2 连接")
                          : lastError_;
    for (Waiting& w : waiting_) {
        Event failed;
        failed.tag = w.tag;
        failed.kind = Event::Kind::Failed;
        failed.reply = why;
        late_.push_back(std::move(failed));
    }
    waiting_.clear();
}

std::size_t H2Wave::inFlight() const {
    return placed_.size() + waiting_.size() + late_.size();
}

std::string H2Wave::protocolLine() {
    std::size_t packets = 0;
    for (auto& c : conns_) {
        if (live(c)) {
            packets += c->plan().packets();
        }
    }
    const int n = connections();
    std::string line = "HTTP/2，" + std::to_string(n) + " 个连接，每个连接最多 " +
                       std::to_string(perConnection_) + " 个请求，开门时 " +
                       std::to_string(packets) + " 个数据包";
    if (packets > static_cast<std::size_t>(n)) {
        line += n >= request_.maxConnections
                    ? "（每主机至多 " + std::to_string(request_.maxConnections) +
                          " 个连接，有的连接一次写入跨多个数据包）"
                    : "（有的连接一次写入跨多个数据包）";
    }
    return line + "\r\n";
}

}  // namespace vellicor::mall
