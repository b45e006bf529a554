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
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>

#include "mall/backoff.h"
#include "mall/preopen.h"
#include "platform/codec.h"
#include "web/transfer.h"

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
};

class Engine {
  public:
    explicit Engine(ExchangeRun::State& s) : s_(s), soldOut_(s.plan.items.size(), false) {}

    void run() {
        initTallies();
        prepareAll();
        preopen();
        waitForFire();
        sendAll();
        loop();
        finish();
    }

  private:
    const Clock& clock() const { return *s_.clock; }
    bool cancelled() const { return s_.cancelRequested.load(); }

    void initTallies() {
        std::lock_guard lock(s_.summaryMutex);
        for (const Item* item : s_.plan.items) {
            s_.summary.items.push_back(ItemTally{item, {}, 0, {}, {}});
        }
        s_.summary.requests = static_cast<int>(s_.plan.items.size()) * std::max(0, s_.plan.perItem);
    }

    void prepareAll() {
        const auto& http = s_.config.http;
        for (std::size_t i = 0; i < s_.plan.items.size(); ++i) {
            web::PageRequest request;
            request.url = exchangeAddress(s_.config.mall, s_.plan.items[i]->target);
            request.cookies = s_.plan.cookies;
            request.proxy = http.proxy;
            if (i == 0) {
                host_.resolve(request.url, !http.proxy.empty());
            }
            for (int n = 1; n <= s_.plan.perItem; ++n) {
                Worker w;
                w.item = i;
                w.number = n;
                auto prepared = web::Transfer::prepare(request, http);
                workers_.push_back(std::move(w));
                if (!prepared) {
                    report(workers_.size() - 1, failedRequest(prepared.error()));
                    continue;
                }
                workers_.back().transfer = std::move(prepared).value();
                host_.apply(workers_.back().transfer->handle());
                byHandle_[workers_.back().transfer->handle()] = workers_.size() - 1;
            }
        }
    }

    // A timed run opens the connections it will send on the lead time before the instant,
    // so that at the instant only request bytes are written.
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
        request.connections = static_cast<int>(std::min<std::size_t>(
            byHandle_.size(), static_cast<std::size_t>(
                                  std::max(1, s_.config.exchange.maxConnectionsPerHost))));
        request.http = s_.config.http;
        request.configure = [this](CURL* easy) { host_.apply(easy); };
        request.deadline = at - milliseconds(5);
        request.stopped = stopped;
        s_.log(preopenLine(preopenConnections(s_.multi, request, clock())));
    }

    // Sleeps in slices, so that a cancel is seen before the instant, and spins the last
    // stretch, so that the first request leaves at the instant and not a wake-up later.
    void waitForFire() {
        if (s_.options.fireAt) {
            waitPrecisely(clock(), *s_.options.fireAt, [this] { return cancelled(); });
        }
    }

    void sendAll() {
        firstSend_ = clock().steadyNow();
        for (std::size_t i = 0; i < workers_.size() && !cancelled(); ++i) {
            if (!workers_[i].ended) {
                workers_[i].firstSend = firstSend_;
                send(i);
            }
        }
    }

    void send(std::size_t index) {
        Worker& w = workers_[index];
        ++w.attempts;
        ++sends_;
        if (curl_multi_add_handle(s_.multi, w.transfer->handle()) != CURLM_OK) {
            report(index, failedRequest(makeError(ErrorCode::Internal, "无法加入发送队列")));
            return;
        }
        ++inFlight_;
    }

    void loop() {
        while (inFlight_ > 0 || !waiting_.empty()) {
            if (cancelled()) {
                break;
            }
            int running = 0;
            curl_multi_perform(s_.multi, &running);
            drainDone();
            sendDue();
            if (inFlight_ == 0 && waiting_.empty()) {
                break;
            }
            curl_multi_poll(s_.multi, nullptr, 0, pollTimeoutMs(), nullptr);
        }
        cancelRest();
    }

    int pollTimeoutMs() const {
        constexpr int kIdleMs = 100;
        if (waiting_.empty()) {
            return kIdleMs;
        }
        const auto wait = waiting_.begin()->first - clock().steadyNow();
        const auto ms = std::chrono::ceil<milliseconds>(wait).count();
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
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            Worker& w = workers_[i];
            if (w.ended) {
                continue;
            }
            if (w.transfer && w.attempts > 0) {
                curl_multi_remove_handle(s_.multi, w.transfer->handle());
            }
            report(i, Outcome{OutcomeKind::Cancelled, "已取消，本次兑换已停止"});
        }
        waiting_.clear();
        inFlight_ = 0;
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
        w.ended = true;
        if (w.transfer) {
            byHandle_.erase(w.transfer->handle());
            w.transfer.reset();
        }
        std::lock_guard lock(s_.summaryMutex);
        ++s_.summary.items[w.item].counts[static_cast<std::size_t>(outcome.kind)];
        ++s_.summary.lines;
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
    std::unordered_map<CURL*, std::size_t> byHandle_;
    std::set<std::pair<Clock::Steady, std::size_t>> waiting_;
    std::vector<bool> soldOut_;
    Clock::Steady firstSend_{};
    int inFlight_ = 0;
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
