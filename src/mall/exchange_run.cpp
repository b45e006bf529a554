#include "mall/exchange_run.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>

#include "mall/backoff.h"
#include "mall/preopen.h"
#include "mall/primed.h"
#include "platform/codec.h"
#include "web/transfer.h"
#include "web/wire.h"

namespace vellicor::mall {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

struct ExchangeRun::State {
    RunPlan plan;
    Config config;
    const Clock* clock = nullptr;
    LogSink log;
    Done done;
    RunOptions options;

    CURLM* multi = nullptr;  // lives as long as the state, so cancel() may always wake it
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> ended{false};
    std::thread thread;
    std::mutex joinMutex;
    mutable std::mutex summaryMutex;
    RunSummary summary;

    ~State() {
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
    }
};

namespace {

// Thousands of requests and, in the demo, the simulator's side of each connection too.
void raiseFileLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
}

// libcurl starts a resolver thread for every transfer that finds no cached address, so
// a thousand sends to one host would start a thousand threads. The host is resolved once,
// before the first send, and every transfer is handed the result.
class ResolvedHost {
  public:
    ResolvedHost() = default;
    ResolvedHost(const ResolvedHost&) = delete;
    ResolvedHost& operator=(const ResolvedHost&) = delete;
    ~ResolvedHost() { curl_slist_free_all(list_); }

    void resolve(const std::string& url, bool viaProxy) {
        auto address = web::splitAddress(url);
        if (!address || viaProxy || isLiteral(address->host)) {
            return;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(address->host.c_str(), nullptr, &hints, &found) != 0) {
            return;  // each transfer then fails with curl's own resolver error
        }
        std::string entry = address->host + ":" + std::to_string(address->port) + ":";
        bool first = true;
        for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
            if (auto text = numeric(a); !text.empty()) {
                entry += (first ? "" : ",") + text;
                first = false;
            }
        }
        freeaddrinfo(found);
        if (!first) {
            list_ = curl_slist_append(nullptr, entry.c_str());
        }
    }

    void apply(CURL* easy) const {
        if (list_ != nullptr) {
            curl_easy_setopt(easy, CURLOPT_RESOLVE, list_);
        }
    }

  private:
    static bool isLiteral(const std::string& host) {
        in6_addr buf{};
        return host.empty() || host.front() == '[' || inet_pton(AF_INET, host.c_str(), &buf) == 1 ||
               inet_pton(AF_INET6, host.c_str(), &buf) == 1;
    }

    static std::string numeric(const addrinfo* a) {
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            return text;
        }
        if (a->ai_family == AF_INET6) {
            const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
            return "[" + std::string(text) + "]";
        }
        return {};
    }

    curl_slist* list_ = nullptr;
};

struct Worker {
    std::size_t item = 0;
    int number = 0;
    std::unique_ptr<web::Transfer> transfer;
    int attempts = 0;
    Clock::Steady firstSend{};
    Outcome last;       // the answer that made it wait for a retry
    int throttled = 0;  // "too many requests" answers so far
    bool ended = false;
    // On a connection of the run's own (see PrimedLines): its number, -1 for none.
    int line = -1;
    std::string out;  // bytes of the current request not yet written
    std::unique_ptr<web::ReplyReader> reader;
    Clock::Steady deadline{};
    bool onLine = false;  // a request on the line waits for its reply
    bool resent = false;  // sent again once after a connection died without a word
    bool lent = false;    // gave its line to a waiting worker while it waits to ask again
    bool queued = false;  // waits in the queue for a line
};

class Engine {
  public:
    explicit Engine(ExchangeRun::State& s) : s_(s), soldOut_(s.plan.items.size(), false) {}

    void run() {
        initTallies();
        prepareAll();
        if (!prime()) {
            preopen();
        }
        waitForFire();
        sendAll();
        loop();
        finish();
    }

  private:
    const Clock& clock() const { return *s_.clock; }
    bool cancelled() const { return s_.cancelRequested.load(); }
    const HttpSettings& http() const { return s_.config.http; }

    void initTallies() {
        std::lock_guard lock(s_.summaryMutex);
        for (const Item* item : s_.plan.items) {
            s_.summary.items.push_back(ItemTally{item, {}, 0, {}, {}});
        }
        s_.summary.requests = static_cast<int>(s_.plan.items.size()) * std::max(0, s_.plan.perItem);
    }

    void prepareAll() {
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
            urls_.push_back(request.url);
            for (int n = 1; n <= s_.plan.perItem; ++n) {
                prepareWorker(request, i, n);
            }
        }
    }

    void prepareWorker(const web::PageRequest& request, std::size_t item, int number) {
        Worker w;
        w.item = item;
        w.number = number;
        auto prepared = web::Transfer::prepare(request, http());
        workers_.push_back(std::move(w));
        if (!prepared) {
            report(workers_.size() - 1, failedRequest(prepared.error()));
            return;
        }
        workers_.back().transfer = std::move(prepared).value();
        host_.apply(workers_.back().transfer->handle());
        byHandle_[workers_.back().transfer->handle()] = workers_.size() - 1;
    }

    int connectionCap() const {
        return static_cast<int>(std::min<std::size_t>(
            byHandle_.size(),
            static_cast<std::size_t>(std::max(1, s_.config.exchange.maxConnectionsPerHost))));
    }

    // Through a proxy the request would be written for the proxy: that one goes by libcurl.
    bool mayPrime() const {
        const auto address = web::splitAddress(s_.config.mall);
        const bool proxied = !http().proxy.empty() && address && !address->secure;
        return address && !proxied && s_.config.timer.preopenLeadMs > 0 && !byHandle_.empty() &&
               std::none_of(requests_.begin(), requests_.end(),
                            [](const std::string& r) { return r.empty(); });
    }

    // Opens the run's own connections: for a timed run the lead time before the instant, so
    // that at the instant only request bytes are written; for a run of now, at once. False
    // leaves the run to libcurl's own connections.
    bool prime() {
        if (!mayPrime()) {
            return false;
        }
        const auto stopped = [this] { return cancelled(); };
        PrimedLines::Request request;
        request.base = s_.config.mall;
        request.connections = connectionCap();
        request.http = http();
        request.configure = [this](CURL* easy) { host_.apply(easy); };
        request.stopped = stopped;
        if (s_.options.fireAt) {
            const auto at = *s_.options.fireAt;
            if (!waitPrecisely(clock(), at - milliseconds(s_.config.timer.preopenLeadMs), stopped,
                               {})) {
                return true;  // cancelled: every worker ends with a cancelled line
            }
            request.deadline = at - milliseconds(5);
        } else {
            request.deadline = clock().steadyNow() + milliseconds(http().connectTimeoutMs);
        }
        lines_ = PrimedLines::open(request, clock());
        if (s_.options.fireAt) {
            const int opened = lines_->size();
            s_.log(preopenLine(PreopenReport{lines_->wanted(), opened, lines_->wanted() - opened}));
        }
        assignLines();
        if (s_.options.fireAt && s_.config.timer.lastByteSync) {
            writeAllButLastByte();
        }
        for (Worker& w : workers_) {
            if (w.line >= 0) {
                w.reader = std::make_unique<web::ReplyReader>(urls_[w.item], http());
            }
        }
        return true;
    }

    // Workers past the cap wait for a line to come free; those within it whose connection
    // did not open go on fresh connections of libcurl's.
    void assignLines() {
        const int cap = connectionCap();
        int next = 0;
        int counted = 0;
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            Worker& w = workers_[i];
            if (w.ended) {
                continue;
            }
            if (counted++ >= cap) {
                if (lines_->size() > 0) {
                    queue(i);
                }
            } else if (next < lines_->size()) {
                w.line = next++;
                w.out = requests_[w.item];
            }
        }
    }

    void writeAllButLastByte() {
        for (Worker& w : workers_) {
            if (w.line < 0 || w.out.size() < 2) {
                continue;
            }
            std::size_t written = 0;
            const std::string_view head(w.out.data(), w.out.size() - 1);
            if (lines_->write(w.line, head, written) == PrimedLines::Io::Closed) {
                w.line = -1;
                w.out.clear();
            } else {
                w.out.erase(0, written);
            }
        }
    }

    // A timed run without connections of its own opens libcurl's ahead, by warm-up requests.
    void preopen() {
        const long leadMs = s_.config.timer.preopenLeadMs;
        if (!s_.options.fireAt || leadMs <= 0 || byHandle_.empty()) {
            return;
        }
        const auto at = *s_.options.fireAt;
        const auto stopped = [this] { return cancelled(); };
        if (!waitPrecisely(clock(), at - milliseconds(leadMs), stopped, {})) {
            return;
        }
        PreopenRequest request;
        request.base = s_.config.mall;
        request.connections = connectionCap();
        request.http = http();
        request.configure = [this](CURL* easy) { host_.apply(easy); };
        request.deadline = at - milliseconds(5);
        request.stopped = stopped;
        s_.log(preopenLine(preopenConnections(s_.multi, request, clock())));
    }

    // Sleeps in slices, so that a cancel is seen before the instant, looks once more at the
    // connections, and spins the last stretch, so that the first request leaves at the
    // instant and not a wake-up later.
    void waitForFire() {
        if (!s_.options.fireAt) {
            return;
        }
        const auto at = *s_.options.fireAt;
        const auto stopped = [this] { return cancelled(); };
        if (lines_ && waitPrecisely(clock(), at - milliseconds(20), stopped, {})) {
            dropGoneLines();
        }
        waitPrecisely(clock(), at, stopped);
    }

    // A connection the mall closed while idle: its request goes out on a fresh one instead.
    void dropGoneLines() {
        for (Worker& w : workers_) {
            if (w.line >= 0 && lines_->peerGone(w.line)) {
                lines_->close(w.line);
                w.line = -1;
            }
        }
    }

    void sendAll() {
        firstSend_ = clock().steadyNow();
        // The run's own connections first: each is a single write, everything else about
        // the request was made ready before the instant.
        for (std::size_t i = 0; i < workers_.size() && !cancelled(); ++i) {
            if (!workers_[i].ended && workers_[i].line >= 0) {
                sendOnLine(i, firstSend_);
            }
        }
        for (auto& w : workers_) {
            w.firstSend = firstSend_;
        }
        bool first = true;
        for (std::size_t i = 0; i < workers_.size() && !cancelled(); ++i) {
            Worker& w = workers_[i];
            if (w.ended || w.line >= 0 || w.attempts > 0 || w.queued) {
                continue;
            }
            send(i);
            if (std::exchange(first, false)) {
                int running = 0;  // the first request on its way before the rest are set up
                curl_multi_perform(s_.multi, &running);
            }
        }
        // Every line died before the instant: those waiting for one go on fresh connections.
        flushQueueIfNoLines();
    }

    void queue(std::size_t index) {
        workers_[index].queued = true;
        queued_.push_back(index);
    }

    std::size_t unqueue() {
        const std::size_t index = queued_.front();
        queued_.pop_front();
        workers_[index].queued = false;
        return index;
    }

    void send(std::size_t index) {
        Worker& w = workers_[index];
        if (w.line < 0 && lines_) {
            w.line = takeFreeLine();
            if (w.line < 0 && w.lent && anyLineAlive()) {
                queue(index);  // waits for a line as it did before it lent its own
                return;
            }
        }
        if (w.line >= 0 && lines_->alive(w.line)) {
            sendOnLine(index);
            return;
        }
        w.line = -1;
        ++w.attempts;
        ++sends_;
        if (curl_multi_add_handle(s_.multi, w.transfer->handle()) != CURLM_OK) {
            report(index, failedRequest(makeError(ErrorCode::Internal, "无法加入发送队列")));
            return;
        }
        ++inFlight_;
    }

    void sendOnLine(std::size_t index) { sendOnLine(index, clock().steadyNow()); }

    void sendOnLine(std::size_t index, Clock::Steady now) {
        Worker& w = workers_[index];
        ++w.attempts;
        ++sends_;
        if (w.out.empty()) {
            w.out = requests_[w.item];
        }
        if (!w.reader) {
            w.reader = std::make_unique<web::ReplyReader>(urls_[w.item], http());
        }
        w.deadline = now + milliseconds(http().totalTimeoutMs);
        w.onLine = true;
        ++onLine_;
        flush(index);
    }

    // Writes what is left of the request; a connection found dead takes nothing of it, so
    // the request goes out on a fresh connection as if the line had never been there.
    void flush(std::size_t index) {
        Worker& w = workers_[index];
        std::size_t written = 0;
        const auto io = lines_->write(w.line, w.out, written);
        w.out.erase(0, written);
        if (io == PrimedLines::Io::Closed) {
            lineEnded(index);
            --w.attempts;
            --sends_;
            send(index);
        }
    }

    // The worker's line is closed or no longer to be used.
    void lineEnded(std::size_t index) {
        Worker& w = workers_[index];
        if (w.onLine) {
            w.onLine = false;
            --onLine_;
        }
        if (w.line >= 0) {
            lines_->close(w.line);
            w.line = -1;
        }
        w.out.clear();
        flushQueueIfNoLines();
    }

    int takeFreeLine() {
        while (!freeLines_.empty()) {
            const int line = freeLines_.back();
            freeLines_.pop_back();
            if (lines_->alive(line)) {
                return line;
            }
        }
        return -1;
    }

    bool anyLineAlive() const {
        const auto owned = [](const Worker& w) { return w.line >= 0; };
        const auto open = [this](int line) { return lines_->alive(line); };
        return std::any_of(workers_.begin(), workers_.end(), owned) ||
               std::any_of(freeLines_.begin(), freeLines_.end(), open);
    }

    void flushQueueIfNoLines() {
        if (queued_.empty() || anyLineAlive()) {
            return;  // a line may still come free
        }
        while (!queued_.empty()) {
            const std::size_t index = unqueue();
            if (!workers_[index].ended && !cancelled()) {
                send(index);
            }
        }
    }

    // A worker is done with its line for now or for good: the next one waiting takes it.
    void handOn(int line) {
        if (!lines_->alive(line) || cancelled()) {
            return;
        }
        if (queued_.empty()) {
            freeLines_.push_back(line);
            return;
        }
        const std::size_t next = unqueue();
        workers_[next].line = line;
        sendOnLine(next);
    }

    void loop() {
        while (busy()) {
            if (cancelled()) {
                break;
            }
            int running = 0;
            curl_multi_perform(s_.multi, &running);
            drainDone();
            expireLines();
            sendDue();
            if (!busy()) {
                break;
            }
            pollOnce();
        }
        cancelRest();
    }

    bool busy() const {
        return inFlight_ > 0 || onLine_ > 0 || !waiting_.empty() || !queued_.empty();
    }

    // Waits for libcurl's transfers and the run's own connections together.
    void pollOnce() {
        polled_.clear();
        polledWorker_.clear();
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            const Worker& w = workers_[i];
            if (w.onLine) {
                const short events =
                    static_cast<short>(CURL_WAIT_POLLIN | (w.out.empty() ? 0 : CURL_WAIT_POLLOUT));
                polled_.push_back({lines_->socket(w.line), events, 0});
                polledWorker_.push_back(i);
            }
        }
        curl_multi_poll(s_.multi, polled_.data(), static_cast<unsigned>(polled_.size()),
                        pollTimeoutMs(), nullptr);
        for (std::size_t k = 0; k < polled_.size(); ++k) {
            if (polled_[k].revents != 0) {
                service(polledWorker_[k], polled_[k].revents);
            }
        }
    }

    void service(std::size_t index, short revents) {
        Worker& w = workers_[index];
        if (!w.onLine) {
            return;
        }
        if ((revents & CURL_WAIT_POLLOUT) != 0 && !w.out.empty()) {
            flush(index);
        }
        if (w.onLine && (revents & CURL_WAIT_POLLIN) != 0) {
            readLine(index);
        }
    }

    void readLine(std::size_t index) {
        Worker& w = workers_[index];
        std::string bytes;
        const auto io = lines_->read(w.line, bytes);
        auto state = w.reader->feed(bytes);
        if (io == PrimedLines::Io::Closed) {
            state = w.reader->end();
        }
        if (state == web::ReplyReader::State::More) {
            return;
        }
        const bool keep = state == web::ReplyReader::State::Done && w.reader->keepAlive() &&
                          io != PrimedLines::Io::Closed;
        const bool silent = !w.reader->gotBytes() && !w.resent;
        auto reply = w.reader->take();
        w.reader.reset();
        if (!keep) {
            lineEnded(index);
        } else {
            w.onLine = false;
            --onLine_;
        }
        if (silent && !reply) {
            resend(index);
            return;
        }
        onEnd(index, std::move(reply));
    }

    // A kept connection the mall closed as the request came in, before a byte of answer: as
    // libcurl does with its pooled connections, the request goes once more on a fresh one.
    void resend(std::size_t index) {
        Worker& w = workers_[index];
        w.resent = true;
        --w.attempts;
        send(index);
    }

    void expireLines() {
        const auto now = clock().steadyNow();
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            Worker& w = workers_[i];
            if (w.onLine && now >= w.deadline) {
                const Error late = w.reader->timedOut();
                w.reader.reset();
                lineEnded(i);
                onEnd(i, late);
            }
        }
    }

    int pollTimeoutMs() const {
        constexpr int kIdleMs = 100;
        auto next = clock().steadyNow() + milliseconds(kIdleMs);
        if (!waiting_.empty()) {
            next = std::min(next, waiting_.begin()->first);
        }
        for (const Worker& w : workers_) {
            if (w.onLine) {
                next = std::min(next, w.deadline);
            }
        }
        const auto ms = std::chrono::ceil<milliseconds>(next - clock().steadyNow()).count();
        return static_cast<int>(std::clamp<long long>(ms, 0, kIdleMs));
    }

    void drainDone() {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(s_.multi, &left)) {
            if (msg->msg != CURLMSG_DONE) {
                continue;
            }
            CURL* easy = msg->easy_handle;
            const CURLcode code = msg->data.result;
            curl_multi_remove_handle(s_.multi, easy);
            --inFlight_;
            const auto it = byHandle_.find(easy);
            if (it != byHandle_.end()) {
                onEnd(it->second, workers_[it->second].transfer->finish(code));
            }
        }
    }

    void onEnd(std::size_t index, Result<web::Reply> reply) {
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
            w.transfer->reset();
            waiting_.insert({now + *pause, index});
            lendLine(w);
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

    // A worker waiting to ask again does not keep a line from one waiting for its first turn.
    void lendLine(Worker& w) {
        if (w.line >= 0 && !queued_.empty()) {
            w.lent = true;
            handOn(std::exchange(w.line, -1));
        }
    }

    static std::string stoppedNote() { return "（该商品已兑换完，停止重试）"; }

    // Asked too early: again after the fixed pause. Told to slow down: again after a pause
    // that grows with every such answer, so that a busy mall is not hammered harder.
    std::optional<milliseconds> retryPause(Worker& w, OutcomeKind kind,
                                           std::optional<milliseconds> serverAsks) {
        const auto& ex = s_.config.exchange;
        if (kind == OutcomeKind::NotOpen) {
            return milliseconds(ex.retryPauseMs);
        }
        if (kind != OutcomeKind::Throttled) {
            return std::nullopt;
        }
        ++w.throttled;
        return throttlePause(ex, w.throttled, serverAsks, jitter_(rng_));
    }

    bool mayRetry(const Worker& w, Clock::Steady now, milliseconds pause) const {
        const auto& ex = s_.config.exchange;
        return !cancelled() && !soldOut_[w.item] &&
               now + pause <= w.firstSend + milliseconds(ex.retryWindowMs);
    }

    // The item is gone: workers still waiting to ask again end with what they were told.
    void stopRetries(std::size_t item) {
        soldOut_[item] = true;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            Worker& w = workers_[it->second];
            if (w.item != item) {
                ++it;
                continue;
            }
            Outcome outcome = std::move(w.last);
            outcome.message += stoppedNote();
            const std::size_t index = it->second;
            it = waiting_.erase(it);
            report(index, std::move(outcome));
        }
    }

    void sendDue() {
        const auto now = clock().steadyNow();
        while (!waiting_.empty() && waiting_.begin()->first <= now && !cancelled()) {
            const std::size_t index = waiting_.begin()->second;
            waiting_.erase(waiting_.begin());
            send(index);
        }
    }

    void cancelRest() {
        queued_.clear();
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            Worker& w = workers_[i];
            if (w.ended) {
                continue;
            }
            if (w.transfer && w.attempts > 0 && w.line < 0) {
                curl_multi_remove_handle(s_.multi, w.transfer->handle());
            }
            report(i, Outcome{OutcomeKind::Cancelled, "已取消，本次兑换已停止"});
        }
        waiting_.clear();
        inFlight_ = 0;
        onLine_ = 0;
    }

    void noteReply(std::size_t item, Clock::Steady now) {
        std::lock_guard lock(s_.summaryMutex);
        ItemTally& t = s_.summary.items[item];
        const nanoseconds since = now - firstSend_;
        ++t.replies;
        if (!t.firstReply) {
            t.firstReply = since;
        }
        t.lastReply = since;
    }

    void report(std::size_t index, Outcome outcome) {
        Worker& w = workers_[index];
        const Item& item = *s_.plan.items[w.item];
        const std::string prefix =
            linePrefix(localTimeOfDay(clock()), item.caption, w.number, w.attempts);
        s_.log(outcomeLine(prefix, outcome.message));
        if (s_.options.onOutcome) {
            s_.options.onOutcome(item, outcome);
        }
        w.ended = true;
        if (w.transfer) {
            byHandle_.erase(w.transfer->handle());
            w.transfer.reset();
        }
        {
            std::lock_guard lock(s_.summaryMutex);
            ++s_.summary.items[w.item].counts[static_cast<std::size_t>(outcome.kind)];
            ++s_.summary.lines;
        }
        if (const int line = std::exchange(w.line, -1); line >= 0) {
            handOn(line);
        }
    }

    void finish() {
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

    ExchangeRun::State& s_;
    ResolvedHost host_;  // outlives the transfers that point at it
    std::vector<Worker> workers_;
    std::vector<std::string> requests_;  // each item's request as written on a line
    std::vector<std::string> urls_;
    std::unique_ptr<PrimedLines> lines_;
    std::deque<std::size_t> queued_;  // workers waiting for a line to come free
    std::vector<int> freeLines_;      // open lines nobody holds
    std::vector<curl_waitfd> polled_;
    std::vector<std::size_t> polledWorker_;
    std::unordered_map<CURL*, std::size_t> byHandle_;
    std::set<std::pair<Clock::Steady, std::size_t>> waiting_;
    std::vector<bool> soldOut_;
    Clock::Steady firstSend_{};
    int inFlight_ = 0;
    int onLine_ = 0;
    int sends_ = 0;
    std::mt19937_64 rng_{std::random_device{}()};
    std::uniform_real_distribution<double> jitter_{0.0, 1.0};
};

std::string millis(nanoseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f ms", static_cast<double>(d.count()) / 1e6);
    return buf;
}

std::string tallyText(const ItemTally& t) {
    std::string text = "[" + std::string(t.item->caption) + "]";
    bool any = false;
    for (int k = 0; k < kOutcomeKinds; ++k) {
        const int n = t.counts.at(static_cast<std::size_t>(k));
        if (n > 0) {
            text += (any ? "，" : " ") + std::string(outcomeLabel(static_cast<OutcomeKind>(k))) +
                    " " + std::to_string(n);
            any = true;
        }
    }
    if (!any) {
        text += " 无结果";
    }
    if (t.firstReply && t.lastReply) {
        text += "，首个回复 " + millis(*t.firstReply) + "，最后回复 " + millis(*t.lastReply);
    } else {
        text += "，没有收到回复";
    }
    return text;
}

}  // namespace

std::string summaryLine(const RunSummary& summary) {
    std::string line = summary.cancelled ? "兑换已停止" : "兑换结束";
    line += "：共 " + std::to_string(summary.requests) + " 个请求（发送 " +
            std::to_string(summary.sends) + " 次）";
    for (const auto& t : summary.items) {
        line += "；" + tallyText(t);
    }
    line += "（时间自首次发送起）";
    return line;
}

ExchangeRun::ExchangeRun(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<ExchangeRun> ExchangeRun::start(RunPlan plan, const Config& config,
                                                const Clock& clock, LogSink log, Done done,
                                                RunOptions options) {
    web::ensureCurlReady();
    raiseFileLimit();
    auto state = std::make_shared<State>();
    state->plan = std::move(plan);
    state->config = config;
    state->clock = &clock;
    state->log = log ? std::move(log) : LogSink([](const std::string&) {});
    state->done = std::move(done);
    state->options = options;
    state->multi = curl_multi_init();
    const long cap = std::max(1, config.exchange.maxConnectionsPerHost);
    curl_multi_setopt(state->multi, CURLMOPT_MAX_HOST_CONNECTIONS, cap);
    curl_multi_setopt(state->multi, CURLMOPT_MAXCONNECTS, cap);
    const std::size_t items = state->plan.items.size();
    // Said before the thread starts, so that it stands above every outcome line.
    state->log("开始兑换：" + std::to_string(items) + " 个商品，每个 " +
               std::to_string(state->plan.perItem) + " 个请求，共 " +
               std::to_string(items * static_cast<std::size_t>(std::max(0, state->plan.perItem))) +
               " 个\r\n");
    // The thread keeps the state alive, so a handle destroyed from `done` is harmless.
    state->thread = std::thread([state] { Engine(*state).run(); });
    return std::unique_ptr<ExchangeRun>(new ExchangeRun(state));
}

ExchangeRun::~ExchangeRun() {
    cancel();
    std::lock_guard lock(state_->joinMutex);
    if (state_->thread.joinable()) {
        if (state_->thread.get_id() == std::this_thread::get_id()) {
            state_->thread.detach();
        } else {
            state_->thread.join();
        }
    }
}

void ExchangeRun::cancel() {
    if (!state_->ended.load()) {
        state_->cancelRequested.store(true);
        curl_multi_wakeup(state_->multi);
    }
}

void ExchangeRun::wait() {
    std::lock_guard lock(state_->joinMutex);
    if (state_->thread.joinable() && state_->thread.get_id() != std::this_thread::get_id()) {
        state_->thread.join();
    }
}

bool ExchangeRun::finished() const {
    return state_->ended.load();
}

RunSummary ExchangeRun::summary() const {
    std::lock_guard lock(state_->summaryMutex);
    return state_->summary;
}

}  // namespace vellicor::mall
