#include "mall/engine.h"

#include <algorithm>

#include "mall/backoff.h"
#include "mall/preopen.h"
#include "mall/send_way.h"
#include "platform/codec.h"
#include "web/h2_connection.h"
#include "web/transfer.h"
#include "web/wire.h"

namespace vellicor::mall {

void Engine::run() {
    if (s_.options.timeline) {
        started_ = clock().steadyNow();
        // Slots for every worker before the first request is prepared: none is made at the
        // instant.
        const std::size_t workers = s_.plan.items.size() * accounts_.size() *
                                    static_cast<std::size_t>(std::max(0, s_.plan.perItem));
        timeline_.emplace(clock(), workers);
        ledger_.recordInto(&*timeline_);
    }
    initTallies();
    if (const auto unusable = s_.transport->unusable()) {
        prepareAll();
        failAll(*unusable);
        finish();
        return;
    }
    prepareAll();
    chooseWays();
    waitForFire();
    if (!s_.claimFire()) {
        cancelRest();
        finish();
        return;
    }
    sendAll();
    loop();
    finish();
}

void Engine::initTallies() {
    std::vector<std::string> names;
    for (const web::Account& account : accounts_) {
        names.push_back(account.name);
    }
    std::lock_guard lock(s_.summaryMutex);
    s_.summary = RunSummary::forPlan(s_.plan.items, s_.plan.perItem, names);
}

// Workers take turns by item and, within an item, by account, so that every account and
// every item has its share of the connections and of the first packets at the instant,
// however many there are.
void Engine::prepareAll() {
    const std::size_t itemCount = s_.plan.items.size();
    for (std::size_t a = 0; a < accounts_.size(); ++a) {
        for (std::size_t i = 0; i < itemCount; ++i) {
            prepareRequest(accounts_[a], i);
        }
    }
    const std::size_t perItem = static_cast<std::size_t>(std::max(0, s_.plan.perItem));
    workers_.reserve(items_.size() * perItem);
    for (std::size_t n = 1; n <= perItem; ++n) {
        for (std::size_t i = 0; i < itemCount; ++i) {
            for (std::size_t a = 0; a < accounts_.size(); ++a) {
                prepareWorker(i, a, static_cast<int>(n));
            }
        }
    }
}

// The request of an item for one account: its session only, through the account's proxy
// (or the configured one). Whether a way of the run's own may carry it through that proxy
// is the ways' affair (firstWay); nothing goes around it.
void Engine::prepareRequest(const web::Account& account, std::size_t itemIndex) {
    ItemRequest item;
    item.page.url = exchangeAddress(s_.config.mall, s_.plan.items[itemIndex]->target);
    item.page.cookies = account.cookies;
    item.page.proxy = web::proxyOf(account, http().proxy);
    if (items_.empty()) {
        host_.resolve(item.page.url, anyProxy());
    }
    auto bytes = web::requestBytes(item.page);
    item.bytes = bytes ? std::move(bytes).value() : std::string();
    auto streamed = web::h2Request(item.page);
    item.h2 = streamed ? std::move(streamed).value() : web::H2Request{};
    // Checked once per item and account: every worker of it would fail the same way.
    auto checked = web::Transfer::prepare(item.page, http());
    itemErrors_.push_back(checked ? std::nullopt : std::optional<Error>(checked.error()));
    items_.push_back(std::move(item));
}

void Engine::prepareWorker(std::size_t item, std::size_t account, int number) {
    Worker w;
    w.item = item;
    w.account = account;
    w.slot = account * s_.plan.items.size() + item;
    w.number = number;
    workers_.push_back(std::move(w));
    ++unended_;
    if (itemErrors_[w.slot]) {
        report(workers_.size() - 1, failedRequest(*itemErrors_[w.slot]));
    }
}

int Engine::connectionCap() const {
    return static_cast<int>(std::min<std::size_t>(
        unended_, static_cast<std::size_t>(std::max(1, s_.config.exchange.maxConnectionsPerHost))));
}

void Engine::failAll(const Error& why) {
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        if (!workers_[i].ended) {
            report(i, failedRequest(why));
        }
    }
}

// libcurl's transfers come last, as the way every other falls back to; they are opened
// ahead only when no other way is tried.
void Engine::chooseWays() {
    if (anyProxy()) {
        s_.log(proxyLine(accounts_, http().proxy));
    }
    auto ways = waysToTry();
    if (const auto when = priming()) {
        openFirstReady(ways, *when);
    }
    if (ways.back().life) {  // not already taken as the way that was opened
        keep(std::move(ways.back()));
    }
}

void Engine::keep(Way way) {
    const auto add = [](auto& list, auto* role) {
        if (role != nullptr) {
            list.push_back(role);
        }
    };
    lives_.push_back(way.life.get());
    add(routes_, way.routing);
    add(holders_, way.holding);
    add(keepers_, way.keeping);
    add(afterFirings_, way.afterFiring);
    add(driven_, way.driven);
    add(polls_, way.polled);
    add(idles_, way.idle);
    ways_.push_back(std::move(way));
}

bool Engine::anyProxy() const {
    return !http().proxy.empty() ||
           std::any_of(accounts_.begin(), accounts_.end(),
                       [](const web::Account& a) { return !a.proxy.empty(); });
}

std::vector<Way> Engine::waysToTry() {
    const auto written = [](const ItemRequest& r) { return !r.bytes.empty(); };
    const auto streamable = [](const ItemRequest& r) { return !r.h2.path.empty(); };
    const WayFacts facts{unended_, std::all_of(items_.begin(), items_.end(), written),
                         std::all_of(items_.begin(), items_.end(), streamable)};
    return s_.transport->ways(firstWay(s_.config, facts), context_);
}

// Best first, until one is ready: HTTP/2 that finds the mall on HTTP/1.1 goes on to
// connections of the run's own. A way that fails outright ends every worker with why.
void Engine::openFirstReady(std::vector<Way>& ways, const Priming& when) {
    for (auto& way : ways) {
        auto primed = way.life->prime(when);
        if (!primed) {
            failAll(primed.error());
            return;
        }
        if (*primed == WayLife::Primed::Ready) {
            keep(std::move(way));
            return;
        }
    }
}

// Opening ahead waits for the lead time before a timed run's instant; a run of now opens
// at once and gives up on connections that take longer than a connect may. Empty: nothing
// is opened ahead (or the run was cancelled meanwhile, and every worker ends cancelled).
std::optional<Priming> Engine::priming() {
    const long leadMs = s_.config.timer.preopenLeadMs;
    if (leadMs <= 0 || unended_ == 0) {
        return std::nullopt;
    }
    Priming p;
    p.connections = connectionCap();
    p.streams = static_cast<int>(unended_);
    if (!s_.options.fireAt) {
        p.deadline = clock().steadyNow() + milliseconds(http().connectTimeoutMs);
        return p;
    }
    if (!waitBefore(milliseconds(leadMs))) {
        return std::nullopt;
    }
    p.timed = true;
    p.deadline = fireAt() - kLateConnect;
    return p;
}

// Sleeps in slices, so that a cancel is seen before the instant, looks once more at the
// connections, and spins the last stretch, so that the first request leaves at the
// instant and not a wake-up later.
void Engine::waitForFire() {
    if (!s_.options.fireAt) {
        return;
    }
    // The first look also reads what TLS sent after the handshakes (session tickets)
    // through every session, which takes a while for a thousand connections; the last
    // one then finds nothing readable on a healthy connection and costs one poll.
    const bool look = !idles_.empty();
    for (const auto before : {milliseconds(300), milliseconds(20)}) {
        if (look && waitBefore(before)) {
            for (auto* idle : idles_) {
                idle->dropStaleConnections();
            }
        }
    }
    // Both last wake-ups sharp: on a busy machine a late one at 3 ms ahead misses the instant
    // as surely as the last. Held until the requests are out (sendAll).
    sharp_.emplace();
    if (waitBefore(milliseconds(3))) {
        waitPrecisely(clock(), s_.fixFireAt(), [this] { return cancelled(); });
    }
}

Clock::Steady Engine::fireAt() const {
    return Clock::Steady(Clock::Steady::duration(s_.fireAtTicks.load()));
}

// Sleeps until `before` ahead of the instant, following the instant while it is moved
// (a later estimate of the mall's clock). False when the run was cancelled meanwhile.
bool Engine::waitBefore(nanoseconds before) {
    constexpr auto kLook = milliseconds(100);
    const auto stopped = [this] { return cancelled(); };
    for (;;) {
        const auto target = fireAt() - before;
        const auto now = clock().steadyNow();
        if (now >= target) {
            return !cancelled();
        }
        if (!waitPrecisely(clock(), std::min(target, now + kLook), stopped, {})) {
            return false;
        }
    }
}

// What was made ready ahead goes first; then every other worker, by the first way that
// takes it.
void Engine::sendAll() {
    firstSend_ = clock().steadyNow();
    for (auto* life : lives_) {
        life->fire(firstSend_);
    }
    for (auto& w : workers_) {
        w.firstSend = firstSend_;
    }
    for (std::size_t i = 0; i < workers_.size() && !cancelled(); ++i) {
        const Worker& w = workers_[i];
        if (w.ended || w.attempts > 0 || held(i)) {
            continue;
        }
        send(i);
    }
    for (auto* way : afterFirings_) {
        way->afterFire();
    }
    sharp_.reset();
}

bool Engine::held(std::size_t index) const {
    return std::any_of(holders_.begin(), holders_.end(),
                       [index](const HoldingAhead* h) { return h->holds(index); });
}

void Engine::send(std::size_t index) {
    for (auto* route : routes_) {
        if (route->send(index)) {
            return;
        }
    }
}

void Engine::loop() {
    while (busy()) {
        if (cancelled()) {
            break;
        }
        for (auto* driven : driven_) {
            driven->drive();
        }
        expireRequests();
        sendDue();
        if (!busy()) {
            break;
        }
        if (!pollOnce()) {
            break;
        }
    }
    cancelRest();
}

bool Engine::busy() const {
    return !waiting_.empty() ||
           std::any_of(lives_.begin(), lives_.end(), [](const WayLife* w) { return w->busy(); });
}

// Waits for every way's descriptors together (and whatever else the poller waits on).
// False when waiting itself failed: the run cannot go on, and what is left ends with the
// reason.
bool Engine::pollOnce() {
    polled_.clear();
    polledFirst_.clear();
    for (auto* polled : polls_) {
        polledFirst_.push_back(polled_.size());
        polled->addPolled(polled_);
    }
    polledFirst_.push_back(polled_.size());
    if (auto waited = s_.transport->poller().wait(polled_, pollTimeoutMs()); !waited) {
        fatal_ = waited.error();
        return false;
    }
    const std::span<const PollEntry> all(polled_);
    for (std::size_t k = 0; k < polls_.size(); ++k) {
        polls_[k]->service(all.subspan(polledFirst_[k], polledFirst_[k + 1] - polledFirst_[k]));
    }
    return true;
}

void Engine::expireRequests() {
    const auto now = clock().steadyNow();
    for (auto* polled : polls_) {
        polled->expire(now);
    }
}

int Engine::pollTimeoutMs() const {
    constexpr int kIdleMs = 100;
    auto next = clock().steadyNow() + milliseconds(kIdleMs);
    if (!waiting_.empty()) {
        next = std::min(next, waiting_.begin()->first);
    }
    for (const auto* polled : polls_) {
        next = polled->nextDeadline(next);
    }
    const auto ms = std::chrono::ceil<milliseconds>(next - clock().steadyNow()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, kIdleMs));
}

void Engine::onEnd(std::size_t index, Result<web::Reply> reply) {
    Worker& w = workers_[index];
    const auto now = clock().steadyNow();
    Outcome outcome;
    std::optional<milliseconds> serverAsks;
    if (!reply) {
        // A request that left whole and was lost without an answer does not come here: its
        // way ends it as unknown. A failure is never asked again (see retryPause).
        outcome = failedRequest(reply.error());
    } else {
        noteReply(w.item, now);
        outcome = classifyReply(reply->status, gbkToUtf8(reply->body));
        serverAsks = retryAfter(reply->headerText);
    }
    if (outcome.kind == OutcomeKind::Throttled) {
        noteThrottled(w, outcome);
    }
    if (timeline_) {
        timeline_->ended(index, outcome.kind, now, true);
    }
    if (const auto pause = retryPause(w, outcome.kind, serverAsks);
        pause && mayRetry(w, now, *pause)) {
        w.last = std::move(outcome);
        waiting_.insert({now + *pause, index});
        for (auto* keeper : keepers_) {
            keeper->pause(index);
        }
        return;
    }
    if ((outcome.kind == OutcomeKind::NotOpen || outcome.kind == OutcomeKind::Throttled) &&
        soldOut_[w.item]) {
        outcome.message += stoppedNote();
    }
    const bool soldOut = outcome.kind == OutcomeKind::SoldOut;
    report(index, std::move(outcome));
    if (soldOut) {
        stopRetries(w.item);
    }
}

void Engine::cancelRest() {
    for (auto* life : lives_) {
        life->stop();
    }
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        if (!workers_[i].ended) {
            report(i, leftOver(i));
        }
    }
    waiting_.clear();
}

// What a worker still under way at the run's end is told: a request that went out may
// have been acted on by the mall, answer or not.
Outcome Engine::leftOver(std::size_t index) const {
    const bool out = mayHaveArrived(index);
    if (fatal_) {
        return out ? lostAfterSend(*fatal_) : failedRequest(*fatal_);
    }
    return Outcome{OutcomeKind::Cancelled,
                   out ? "已发出，结果未知，本次兑换已停止" : "已取消，本次兑换已停止"};
}

// Asked of the ways in order: the first that holds the worker knows.
bool Engine::mayHaveArrived(std::size_t index) const {
    for (const auto* route : routes_) {
        if (const auto arrived = route->mayHaveArrived(index)) {
            return *arrived;
        }
    }
    return false;
}

void Engine::noteReply(std::size_t item, Clock::Steady now) {
    std::lock_guard lock(s_.summaryMutex);
    s_.summary.noteReply(item, now - firstSend_);
}

void Engine::report(std::size_t index, Outcome outcome) {
    Worker& w = workers_[index];
    const Item& item = *s_.plan.items[w.item];
    const std::string_view account =
        s_.plan.namedAccounts ? std::string_view(accounts_[w.account].name) : std::string_view();
    const std::string prefix =
        linePrefix(localTimeOfDay(clock()), item.caption, w.number, w.attempts, account);
    s_.log(outcomeLine(prefix, outcome.message));
    if (s_.options.onOutcome) {
        s_.options.onOutcome(item, outcome, accounts_[w.account].name);
    }
    if (timeline_) {
        timeline_->ended(index, outcome.kind, clock().steadyNow(), w.attempts > 0);
    }
    w.ended = true;
    --unended_;
    {
        std::lock_guard lock(s_.summaryMutex);
        s_.summary.noteOutcome(w.item, outcome.kind, w.account);
        s_.summary.endedAtProxy += outcome.atProxy ? 1 : 0;
    }
    for (auto* keeper : keepers_) {
        keeper->release(index);
    }
}

void Engine::finish() {
    RunSummary copy;
    auto timeline = timeline_ ? makeTimeline() : nullptr;
    {
        std::lock_guard lock(s_.summaryMutex);
        s_.summary.sends = ledger_.sends();
        s_.summary.unsent = ledger_.unsentCount();
        s_.summary.cancelled = cancelled();
        s_.summary.timeline = std::move(timeline);
        copy = s_.summary;
    }
    // A line a text, as every other line of the log: the box counts its lines by them.
    for (const std::string& line : summaryLines(copy)) {
        s_.log(line + "\r\n");
    }
    s_.ended.store(true);
    if (s_.done) {
        s_.done(copy);
    }
}

}  // namespace vellicor::mall
