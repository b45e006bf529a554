#include "mall/exchange_run.h"

#include <curl/curl.h>
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>

#include "mall/backoff.h"
#include "mall/h2_wave.h"
#include "mall/preopen.h"
#include "mall/primed.h"
#include "mall/resolved_host.h"
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
    // Waiting → Fired or Waiting → Cancelled, once: a run cancelled before its instant is
    // sure to send nothing, so another may take its place at once.
    enum Phase { Waiting, Fired, Cancelled };
    std::atomic<int> phase{Waiting};
    std::atomic<Clock::Steady::rep> fireAtTicks{0};

    bool claimFire() {
        int expected = Waiting;
        return phase.compare_exchange_strong(expected, Fired) || expected == Fired;
    }
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

// Connections still opening this close to the instant are given up: cleaning up after them
// at the last moment would hold back the first request.
constexpr auto kLateConnect = milliseconds(50);

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
    bool onLine = false;    // a request on the line waits for its reply
    bool resent = false;    // sent again once after a connection died without a word
    bool lent = false;      // gave its line to a waiting worker while it waits to ask again
    bool queued = false;    // waits in the queue for a line
    bool onWave = false;    // its requests go as HTTP/2 streams of the run's wave
    bool onStream = false;  // a stream of its waits for its end
    int refusals = 0;       // streams the mall refused unprocessed
};

class Engine {
  public:
    explicit Engine(ExchangeRun::State& s) : s_(s), soldOut_(s.plan.items.size(), false) {}

    void run() {
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

    // Workers take turns by item, so that every item has its share of the connections and
    // of the first packets at the instant, however many there are.
    void prepareAll() {
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
        workers_.reserve(pageRequests_.size() *
                         static_cast<std::size_t>(std::max(0, s_.plan.perItem)));
        for (int n = 1; n <= s_.plan.perItem; ++n) {
            for (std::size_t i = 0; i < pageRequests_.size(); ++i) {
                prepareWorker(i, n);
            }
        }
    }

    void prepareWorker(std::size_t item, int number) {
        Worker w;
        w.item = item;
        w.number = number;
        workers_.push_back(std::move(w));
        ++unended_;
        if (itemErrors_[item]) {
            report(workers_.size() - 1, failedRequest(*itemErrors_[item]));
        }
    }

    // A libcurl transfer costs tens of kilobytes: one is made only for a worker whose request
    // goes that way, when it goes, so that a run of tens of thousands stays small.
    bool ensureTransfer(std::size_t index) {
        Worker& w = workers_[index];
        if (w.transfer) {
            return true;
        }
        auto prepared = web::Transfer::prepare(pageRequests_[w.item], http());
        if (!prepared) {
            report(index, failedRequest(prepared.error()));
            return false;
        }
        w.transfer = std::move(prepared).value();
        host_.apply(w.transfer->handle());
        byHandle_[w.transfer->handle()] = index;
        return true;
    }

    int connectionCap() const {
        return static_cast<int>(std::min<std::size_t>(
            unended_,
            static_cast<std::size_t>(std::max(1, s_.config.exchange.maxConnectionsPerHost))));
    }

    // Through a proxy the request would be written for the proxy: that one goes by libcurl.
    bool mayPrime() const {
        const auto address = web::splitAddress(s_.config.mall);
        const bool proxied = !http().proxy.empty() && address && !address->secure;
        return address && !proxied && s_.config.timer.preopenLeadMs > 0 && unended_ > 0 &&
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
            if (!waitBefore(milliseconds(s_.config.timer.preopenLeadMs))) {
                return true;  // cancelled: every worker ends with a cancelled line
            }
            request.deadline = fireAt() - kLateConnect;
        } else {
            request.deadline = clock().steadyNow() + milliseconds(http().connectTimeoutMs);
            request.settle = true;
        }
        if (primeWave(request.deadline)) {
            return true;
        }
        lines_ = PrimedLines::open(request, clock());
        const int opened = lines_->size();
        s_.log("HTTP/1.1，" + (s_.options.fireAt
                                   ? preopenLine(PreopenReport{lines_->wanted(), opened,
                                                               lines_->wanted() - opened})
                                   : std::to_string(opened) + " 个连接\r\n"));
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

    // Over TLS that offers it (or when asked for), the run's requests become HTTP/2 streams.
    bool wantWave() const {
        const auto address = web::splitAddress(s_.config.mall);
        const auto version = http().version;
        const bool streamable =
            std::none_of(h2Requests_.begin(), h2Requests_.end(),
                         [](const web::H2Request& r) { return r.path.empty(); });
        return address && streamable &&
               (version == HttpVersion::Http2 || (version == HttpVersion::Auto && address->secure));
    }

    // True when the run's fate is settled by the wave: streams made ready, or every worker
    // told why not, or the run left to libcurl's own connections.
    bool primeWave(Clock::Steady deadline) {
        if (!wantWave()) {
            return false;
        }
        H2Wave::Request request;
        request.address = web::splitAddress(s_.config.mall).value();
        request.numeric = host_.addresses();
        request.http = http();
        request.streams = static_cast<int>(unended_);
        request.maxConnections = std::max(1, s_.config.exchange.maxConnectionsPerHost);
        request.requireHttp2 = http().version == HttpVersion::Http2;
        request.deadline = deadline;
        request.stopped = [this] { return cancelled(); };
        wave_ = H2Wave::open(request, clock());
        switch (wave_->outcome()) {
            case H2Wave::Outcome::Http2:
                s_.log(wave_->protocolLine());
                prepareStreams();
                return true;
            case H2Wave::Outcome::Http1:
                wave_.reset();
                return false;
            case H2Wave::Outcome::Unusable:
                failAll(wave_->error());
                break;
            case H2Wave::Outcome::Unreachable:
                if (request.requireHttp2) {
                    failAll(wave_->error());
                    break;
                }
                // The HTTP/1.1 connections below meet the same mall: where it cannot be
                // reached at all, each worker says so on its own.
                s_.log("未能建立 HTTP/2 连接（" + wave_->error().message + "），改用 HTTP/1.1\r\n");
                wave_.reset();
                return false;
        }
        wave_.reset();
        return true;
    }

    void prepareStreams() {
        const bool holdEnd = s_.options.fireAt && s_.config.timer.lastByteSync;
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            Worker& w = workers_[i];
            if (!w.ended) {
                w.onWave = true;
                wave_->prepare(i, h2Requests_[w.item], holdEnd);
            }
        }
        wave_->stage(holdEnd);
    }

    void failAll(const Error& why) {
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            if (!workers_[i].ended) {
                report(i, failedRequest(why));
            }
        }
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
        if (!s_.options.fireAt || leadMs <= 0 || unended_ == 0) {
            return;
        }
        const auto stopped = [this] { return cancelled(); };
        if (!waitBefore(milliseconds(leadMs))) {
            return;
        }
        PreopenRequest request;
        request.base = s_.config.mall;
        request.connections = connectionCap();
        request.http = http();
        request.configure = [this](CURL* easy) { host_.apply(easy); };
        request.deadline = fireAt() - kLateConnect;
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
        // The first look also reads what TLS sent after the handshakes (session tickets)
        // through every session, which takes a while for a thousand connections; the last
        // one then finds nothing readable on a healthy connection and costs one poll.
        if (lines_ && waitBefore(milliseconds(300))) {
            dropGoneLines();
        }
        if (lines_ && waitBefore(milliseconds(20))) {
            dropGoneLines();
        }
        if (waitBefore(milliseconds(3))) {
            waitPrecisely(clock(), fireAt(), [this] { return cancelled(); });
        }
    }

    Clock::Steady fireAt() const {
        return Clock::Steady(Clock::Steady::duration(s_.fireAtTicks.load()));
    }

    // Sleeps until `before` ahead of the instant, following the instant while it is moved
    // (a later estimate of the mall's clock). False when the run was cancelled meanwhile.
    bool waitBefore(nanoseconds before) {
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

    // A connection the mall closed while idle: its request goes out on a fresh one instead.
    void dropGoneLines() {
        polledWorker_.clear();
        std::vector<pollfd> fds;
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            if (workers_[i].line >= 0) {
                fds.push_back({lines_->socket(workers_[i].line), POLLIN, 0});
                polledWorker_.push_back(i);
            }
        }
        if (::poll(fds.data(), fds.size(), 0) <= 0) {
            return;
        }
        for (std::size_t k = 0; k < fds.size(); ++k) {
            Worker& w = workers_[polledWorker_[k]];
            if (fds[k].revents != 0 && lines_->stale(w.line)) {
                lines_->close(w.line);
                w.line = -1;
                w.out.clear();  // a head written ahead went with the connection
            }
        }
    }

    void sendAll() {
        firstSend_ = clock().steadyNow();
        if (wave_) {
            wave_->fire();
            startStreams(firstSend_);
        }
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
            if (w.ended || w.line >= 0 || w.attempts > 0 || w.queued || w.onWave) {
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

    void startStreams(Clock::Steady now) {
        for (Worker& w : workers_) {
            if (w.onWave && !w.ended) {
                startStream(w, now);
            }
        }
    }

    void startStream(Worker& w, Clock::Steady now) {
        ++w.attempts;
        ++sends_;
        w.onStream = true;
        w.deadline = now + milliseconds(http().totalTimeoutMs);
    }

    void send(std::size_t index) {
        Worker& w = workers_[index];
        if (w.onWave) {
            startStream(w, clock().steadyNow());
            wave_->send(index, h2Requests_[w.item]);
            return;
        }
        if (w.line < 0 && lines_) {
            w.line = takeFreeLine();
            if (w.line < 0 && w.lent && anyLineAlive()) {
                queue(index);  // waits for a line as it did before it lent its own
                return;
            }
        }
        if (w.line >= 0 && lines_->alive(w.line) && !lines_->stale(w.line)) {
            sendOnLine(index);
            return;
        }
        if (w.line >= 0) {
            lines_->close(w.line);
            w.out.clear();
        }
        w.line = -1;
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
        if (lines_->stale(line)) {
            lines_->close(line);
            flushQueueIfNoLines();
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
            if (!pollOnce()) {
                break;
            }
        }
        cancelRest();
    }

    bool busy() const {
        return inFlight_ > 0 || onLine_ > 0 || !waiting_.empty() || !queued_.empty() ||
               (wave_ && wave_->inFlight() > 0);
    }

    // Waits for libcurl's transfers and the run's own connections together. False when
    // waiting itself failed: the run cannot go on, and what is left ends with the reason.
    bool pollOnce() {
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
        const std::size_t waveFirst = polled_.size();
        if (wave_) {
            wave_->addPolled(polled_);
        }
        const CURLMcode polledCode =
            curl_multi_poll(s_.multi, polled_.data(), static_cast<unsigned>(polled_.size()),
                            pollTimeoutMs(), nullptr);
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

    // A stream the mall refused unprocessed goes again as a new one; a few refusals in a row
    // for the same worker end it with the mall's reason.
    void streamEnded(H2Wave::Event event) {
        constexpr int kMostRefusals = 3;
        const auto index = static_cast<std::size_t>(event.tag);
        Worker& w = workers_[index];
        if (w.ended || !w.onStream) {
            return;
        }
        w.onStream = false;
        if (event.kind == H2Wave::Event::Kind::Refused && ++w.refusals <= kMostRefusals) {
            --w.attempts;
            --sends_;
            send(index);
            return;
        }
        onEnd(index, std::move(event.reply));
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
            if (w.onStream && now >= w.deadline) {
                wave_->cancel(i);
                w.onStream = false;
                onEnd(i, streamTimedOut());
                continue;
            }
            if (w.onLine && now >= w.deadline) {
                const Error late = w.reader->timedOut();
                w.reader.reset();
                lineEnded(i);
                onEnd(i, late);
            }
        }
    }

    Error streamTimedOut() const {
        const auto address = web::splitAddress(s_.config.mall);
        const std::string where =
            address ? address->host + ":" + std::to_string(address->port) : s_.config.mall;
        return makeError(ErrorCode::Timeout, "timed out (" + where + ")");
    }

    int pollTimeoutMs() const {
        constexpr int kIdleMs = 100;
        auto next = clock().steadyNow() + milliseconds(kIdleMs);
        if (!waiting_.empty()) {
            next = std::min(next, waiting_.begin()->first);
        }
        for (const Worker& w : workers_) {
            if (w.onLine || w.onStream) {
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
            if (w.transfer) {
                w.transfer->reset();
            }
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
            report(i, leftOver(w));
        }
        waiting_.clear();
        inFlight_ = 0;
        onLine_ = 0;
    }

    // What a worker still under way at the run's end is told: a request that went out may
    // have been acted on by the mall, answer or not.
    Outcome leftOver(const Worker& w) const {
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
    bool mayHaveArrived(const Worker& w) const {
        if (w.onStream) {
            return wave_ && wave_->written(static_cast<std::uint64_t>(&w - workers_.data()));
        }
        if (w.onLine) {
            return true;
        }
        return w.transfer && w.attempts > 0 && w.line < 0 && requestSent(w.transfer->handle());
    }

    static bool requestSent(CURL* easy) {
        long sent = 0;
        return curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &sent) == CURLE_OK && sent > 0;
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
    std::vector<web::H2Request> h2Requests_;  // each item's request as HTTP/2 fields
    std::unique_ptr<H2Wave> wave_;
    std::optional<Error> fatal_;  // the run could not go on
    std::vector<H2Wave::Event> events_;
    std::deque<std::size_t> queued_;  // workers waiting for a line to come free
    std::vector<int> freeLines_;      // open lines nobody holds
    std::vector<curl_waitfd> polled_;
    std::vector<std::size_t> polledWorker_;
    std::unordered_map<CURL*, std::size_t> byHandle_;
    std::vector<web::PageRequest> pageRequests_;  // each item's request
    std::vector<std::optional<Error>> itemErrors_;
    std::size_t unended_ = 0;  // workers still to end
    std::set<std::pair<Clock::Steady, std::size_t>> waiting_;
    std::vector<bool> soldOut_;
    Clock::Steady firstSend_{};
    int inFlight_ = 0;
    int onLine_ = 0;
    int sends_ = 0;
    std::mt19937_64 rng_{std::random_device{}()};
    std::uniform_real_distribution<double> jitter_{0.0, 1.0};
};

}  // namespace

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
    if (options.fireAt) {
        state->fireAtTicks.store(options.fireAt->time_since_epoch().count());
    }
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
        int expected = State::Waiting;
        state_->phase.compare_exchange_strong(expected, State::Cancelled);
        state_->cancelRequested.store(true);
        curl_multi_wakeup(state_->multi);
    }
}

bool ExchangeRun::sendsNothingMore() const {
    return state_->ended.load() || state_->phase.load() == State::Cancelled;
}

bool ExchangeRun::retime(Clock::Steady fireAt) {
    if (!state_->options.fireAt || state_->phase.load() != State::Waiting) {
        return false;
    }
    state_->fireAtTicks.store(fireAt.time_since_epoch().count());
    return state_->phase.load() == State::Waiting;
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
