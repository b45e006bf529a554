#include "mall/engine.h"

#include <algorithm>

#include "mall/backoff.h"
#include "mall/preopen.h"
#include "platform/codec.h"

namespace vellicor::mall {

void Engine::run() {
    initTallies();
    if (s_.multi == nullptr) {
        prepareAll();
        failAll(makeError(ErrorCode::Internal, "无法开始兑换：curl_multi_init 失败"));
        finish();
        return;
    }
    prepareAll();
    if (!prime()) {
        preopen();
    }
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
    std::lock_guard lock(s_.summaryMutex);
    for (const Item* item : s_.plan.items) {
        s_.summary.items.push_back(ItemTally{item, {}, 0, {}, {}});
    }
    s_.summary.requests = static_cast<int>(s_.plan.items.size()) * std::max(0, s_.plan.perItem);
}

// Workers take turns by item, so that every item has its share of the connections and
// of the first packets at the instant, however many there are.
void Engine::prepareAll() {
    std::vector<web::PageRequest> requests;
    for (std::size_t i = 0; i < s_.plan.items.size(); ++i) {
        web::PageRequest request;
        request.url = exchangeAddress(s_.config.mall, s_.plan.items[i]->target);
        request.cookies = s_.plan.cookies;
        request.proxy = http().proxy;
        if (i == 0) {
            host_.resolve(request.url, !http().proxy.empty());
        }
        auto bytes = web::requestBytes(request);
        requests_.push_back(bytes ? std::move(bytes).value() : std::string());
        auto streamed = web::h2Request(request);
        h2Requests_.push_back(streamed ? std::move(streamed).value() : web::H2Request{});
        urls_.push_back(request.url);
        // Checked once per item: every worker of it would fail the same way.
        auto checked = web::Transfer::prepare(request, http());
        itemErrors_.push_back(checked ? std::nullopt : std::optional<Error>(checked.error()));
        pageRequests_.push_back(std::move(request));
    }
    workers_.reserve(pageRequests_.size() * static_cast<std::size_t>(std::max(0, s_.plan.perItem)));
    for (int n = 1; n <= s_.plan.perItem; ++n) {
        for (std::size_t i = 0; i < pageRequests_.size(); ++i) {
            prepareWorker(i, n);
        }
    }
}

void Engine::prepareWorker(std::size_t item, int number) {
    Worker w;
    w.item = item;
    w.number = number;
    workers_.push_back(std::move(w));
    ++unended_;
    if (itemErrors_[item]) {
        report(workers_.size() - 1, failedRequest(*itemErrors_[item]));
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
    if (conns_ && waitBefore(milliseconds(300))) {
        dropStaleConnections();
    }
    if (conns_ && waitBefore(milliseconds(20))) {
        dropStaleConnections();
    }
    if (waitBefore(milliseconds(3))) {
        waitPrecisely(clock(), fireAt(), [this] { return cancelled(); });
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

void Engine::sendAll() {
    firstSend_ = clock().steadyNow();
    if (wave_) {
        wave_->fire();
        startStreams(firstSend_);
    }
    // The run's own connections first: each is a single write, everything else about
    // the request was made ready before the instant.
    for (std::size_t i = 0; i < workers_.size() && !cancelled(); ++i) {
        if (!workers_[i].ended && workers_[i].conn >= 0) {
            sendOnConnection(i, firstSend_);
        }
    }
    for (auto& w : workers_) {
        w.firstSend = firstSend_;
    }
    bool first = true;
    for (std::size_t i = 0; i < workers_.size() && !cancelled(); ++i) {
        Worker& w = workers_[i];
        if (w.ended || w.conn >= 0 || w.attempts > 0 || w.queued || w.onWave) {
            continue;
        }
        send(i);
        if (std::exchange(first, false)) {
            int running = 0;  // the first request on its way before the rest are set up
            curl_multi_perform(s_.multi, &running);
        }
    }
    // Every connection died before the instant: those waiting for one go on fresh connections.
    flushQueueIfNoConnections();
}

void Engine::send(std::size_t index) {
    Worker& w = workers_[index];
    if (w.onWave) {
        startStream(w, clock().steadyNow());
        wave_->send(index, h2Requests_[w.item]);
        return;
    }
    if (w.conn < 0 && conns_) {
        w.conn = takeFreeConnection();
        if (w.conn < 0 && w.lent && anyConnectionAlive()) {
            queue(index);  // waits for a connection as it did before it lent its own
            return;
        }
    }
    if (w.conn >= 0 && conns_->alive(w.conn) && !conns_->stale(w.conn)) {
        sendOnConnection(index);
        return;
    }
    if (w.conn >= 0) {
        conns_->close(w.conn);
        w.out.clear();
    }
    w.conn = -1;
    if (!ensureTransfer(index)) {
        return;
    }
    ++w.attempts;
    ++sends_;
    if (curl_multi_add_handle(s_.multi, w.transfer->handle()) != CURLM_OK) {
        report(index, failedRequest(makeError(ErrorCode::Internal, "无法加入发送队列")));
        return;
    }
    ++inFlight_;
}

void Engine::loop() {
    while (busy()) {
        if (cancelled()) {
            break;
        }
        int running = 0;
        curl_multi_perform(s_.multi, &running);
        drainDone();
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
    return inFlight_ > 0 || onConn_ > 0 || !waiting_.empty() || !queued_.empty() ||
           (wave_ && wave_->inFlight() > 0);
}

// Waits for libcurl's transfers and the run's own connections together. False when
// waiting itself failed: the run cannot go on, and what is left ends with the reason.
bool Engine::pollOnce() {
    polled_.clear();
    polledWorker_.clear();
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        const Worker& w = workers_[i];
        if (w.onConn) {
            const short events =
                static_cast<short>(CURL_WAIT_POLLIN | (w.out.empty() ? 0 : CURL_WAIT_POLLOUT));
            polled_.push_back({conns_->socket(w.conn), events, 0});
            polledWorker_.push_back(i);
        }
    }
    const std::size_t waveFirst = polled_.size();
    if (wave_) {
        wave_->addPolled(polled_);
    }
    const CURLMcode polledCode = curl_multi_poll(
        s_.multi, polled_.data(), static_cast<unsigned>(polled_.size()), pollTimeoutMs(), nullptr);
    if (polledCode != CURLM_OK) {
        fatal_ = makeError(ErrorCode::Internal,
                           std::string("网络等待失败：") + curl_multi_strerror(polledCode));
        return false;
    }
    for (std::size_t k = 0; k < polledWorker_.size(); ++k) {
        if (polled_[k].revents != 0) {
            service(polledWorker_[k], polled_[k].revents);
        }
    }
    if (wave_) {
        events_.clear();
        wave_->service(polled_, waveFirst, events_);
        for (auto& event : events_) {
            streamEnded(std::move(event));
        }
    }
    return true;
}

void Engine::expireRequests() {
    const auto now = clock().steadyNow();
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        Worker& w = workers_[i];
        if (w.onStream && now >= w.deadline) {
            wave_->cancel(i);
            w.onStream = false;
            onEnd(i, streamTimedOut());
            continue;
        }
        if (w.onConn && now >= w.deadline) {
            const Error late = w.reader->timedOut();
            w.reader.reset();
            connectionEnded(i);
            onEnd(i, late);
        }
    }
}

int Engine::pollTimeoutMs() const {
    constexpr int kIdleMs = 100;
    auto next = clock().steadyNow() + milliseconds(kIdleMs);
    if (!waiting_.empty()) {
        next = std::min(next, waiting_.begin()->first);
    }
    for (const Worker& w : workers_) {
        if (w.onConn || w.onStream) {
            next = std::min(next, w.deadline);
        }
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
        outcome = failedRequest(reply.error());
    } else {
        noteReply(w.item, now);
        outcome = classifyReply(reply->status, gbkToUtf8(reply->body));
        serverAsks = retryAfter(reply->headerText);
    }
    if (const auto pause = retryPause(w, outcome.kind, serverAsks);
        pause && mayRetry(w, now, *pause)) {
        w.last = std::move(outcome);
        if (w.transfer) {
            w.transfer->reset();
        }
        waiting_.insert({now + *pause, index});
        lendConnection(w);
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
    queued_.clear();
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        Worker& w = workers_[i];
        if (w.ended) {
            continue;
        }
        if (w.transfer && w.attempts > 0 && w.conn < 0) {
            curl_multi_remove_handle(s_.multi, w.transfer->handle());
        }
        report(i, leftOver(w));
    }
    waiting_.clear();
    inFlight_ = 0;
    onConn_ = 0;
}

// What a worker still under way at the run's end is told: a request that went out may
// have been acted on by the mall, answer or not.
Outcome Engine::leftOver(const Worker& w) const {
    const bool out = mayHaveArrived(w);
    if (fatal_) {
        Outcome failed = failedRequest(*fatal_);
        if (out) {
            failed.message = "已发出，结果未知（" + fatal_->message + "）";
        }
        return failed;
    }
    return Outcome{OutcomeKind::Cancelled,
                   out ? "已发出，结果未知，本次兑换已停止" : "已取消，本次兑换已停止"};
}

// A request that went out may have been acted on by the mall, answer or not.
bool Engine::mayHaveArrived(const Worker& w) const {
    if (w.onStream) {
        return wave_ && wave_->written(static_cast<std::uint64_t>(&w - workers_.data()));
    }
    if (w.onConn) {
        return true;
    }
    return w.transfer && w.attempts > 0 && w.conn < 0 && requestSent(w.transfer->handle());
}

void Engine::noteReply(std::size_t item, Clock::Steady now) {
    std::lock_guard lock(s_.summaryMutex);
    ItemTally& t = s_.summary.items[item];
    const nanoseconds since = now - firstSend_;
    ++t.replies;
    if (!t.firstReply) {
        t.firstReply = since;
    }
    t.lastReply = since;
}

void Engine::report(std::size_t index, Outcome outcome) {
    Worker& w = workers_[index];
    const Item& item = *s_.plan.items[w.item];
    const std::string prefix =
        linePrefix(localTimeOfDay(clock()), item.caption, w.number, w.attempts);
    s_.log(outcomeLine(prefix, outcome.message));
    if (s_.options.onOutcome) {
        s_.options.onOutcome(item, outcome);
    }
    w.ended = true;
    --unended_;
    if (w.transfer) {
        byHandle_.erase(w.transfer->handle());
        w.transfer.reset();
    }
    {
        std::lock_guard lock(s_.summaryMutex);
        ++s_.summary.items[w.item].counts[static_cast<std::size_t>(outcome.kind)];
        ++s_.summary.lines;
    }
    if (const int conn = std::exchange(w.conn, -1); conn >= 0) {
        handOn(conn);
    }
}

void Engine::finish() {
    RunSummary copy;
    {
        std::lock_guard lock(s_.summaryMutex);
        s_.summary.sends = sends_;
        s_.summary.cancelled = cancelled();
        copy = s_.summary;
    }
    s_.log(summaryLine(copy) + "\r\n");
    s_.ended.store(true);
    if (s_.done) {
        s_.done(copy);
    }
}

}  // namespace vellicor::mall
