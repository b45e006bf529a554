#pragma once
// Inside one exchange run: the state it shares with its handle, a worker's state, and the
// engine that drives every worker on one thread. The engine's parts live in engine_*.cpp,
// one file a part; nothing outside the exchange run includes this.

#include <curl/curl.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "mall/exchange_run.h"
#include "mall/h2_wave.h"
#include "mall/primed.h"
#include "mall/resolved_host.h"
#include "mall/send_way.h"
#include "web/h2_connection.h"
#include "web/transfer.h"
#include "web/wire.h"

namespace vellicor::mall {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Connections still opening this close to the instant are given up: cleaning up after them
// at the last moment would hold back the first request.
inline constexpr auto kLateConnect = milliseconds(50);

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

struct Worker {
    std::size_t item = 0;
    int number = 0;
    std::unique_ptr<web::Transfer> transfer;
    int attempts = 0;
    Clock::Steady firstSend{};
    Outcome last;       // the answer that made it wait for a retry
    int throttled = 0;  // "too many requests" answers so far
    bool ended = false;
    // On a connection of the run's own (see PrimedConnections): its number, -1 for none.
    int conn = -1;
    std::string out;  // bytes of the current request not yet written
    std::unique_ptr<web::ReplyReader> reader;
    Clock::Steady deadline{};
    bool onConn = false;    // a request on its connection waits for its reply
    bool resent = false;    // sent again once after a connection died without a word
    bool lent = false;      // lent its connection to a waiting worker while it waits to ask again
    bool queued = false;    // waits in the queue for a connection
    bool onWave = false;    // its requests go as HTTP/2 streams of the run's wave
    bool onStream = false;  // a stream of its waits for its end
    int refusals = 0;       // streams the mall refused unprocessed
};

class Engine {
  public:
    explicit Engine(ExchangeRun::State& s) : s_(s), soldOut_(s.plan.items.size(), false) {}
    void run();

  private:
    const Clock& clock() const { return *s_.clock; }
    bool cancelled() const { return s_.cancelRequested.load(); }
    const HttpSettings& http() const { return s_.config.http; }
    void sendOnConnection(std::size_t index) { sendOnConnection(index, clock().steadyNow()); }
    static std::string stoppedNote() { return "（该商品已兑换完，停止重试）"; }

    // The run's course: preparing, waiting for the instant, the loop, outcomes, the end.
    // (engine_run.cpp)
    void initTallies();
    void prepareAll();
    void prepareWorker(std::size_t item, int number);
    int connectionCap() const;
    void failAll(const Error& why);
    void waitForFire();
    Clock::Steady fireAt() const;
    bool waitBefore(nanoseconds before);
    void sendAll();
    void send(std::size_t index);
    void loop();
    bool busy() const;
    bool pollOnce();
    void expireRequests();
    int pollTimeoutMs() const;
    void onEnd(std::size_t index, Result<web::Reply> reply);
    void cancelRest();
    Outcome leftOver(const Worker& w) const;
    bool mayHaveArrived(const Worker& w) const;
    void noteReply(std::size_t item, Clock::Steady now);
    void report(std::size_t index, Outcome outcome);
    void finish();

    // HTTP/1.1 connections of the run's own, and the workers queued for one.
    // (engine_connections.cpp)
    bool mayPrime() const;
    WayFacts wayFacts() const;
    bool prime();
    void assignConnections();
    void writeAllButLastByte();
    void dropStaleConnections();
    void queue(std::size_t index);
    std::size_t unqueue();
    void sendOnConnection(std::size_t index, Clock::Steady now);
    void flush(std::size_t index);
    void connectionEnded(std::size_t index);
    int takeFreeConnection();
    bool anyConnectionAlive() const;
    void flushQueueIfNoConnections();
    void handOn(int conn);
    void service(std::size_t index, short revents);
    void readReply(std::size_t index);
    void resend(std::size_t index);
    void lendConnection(Worker& w);

    // libcurl's own transfers: through a proxy, or where no connection of ours could be had.
    // (engine_curl.cpp)
    bool ensureTransfer(std::size_t index);
    void preopen();
    void drainDone();
    static bool requestSent(CURL* easy);

    // HTTP/2: the run's requests as streams of one wave. (engine_wave.cpp)
    bool wantWave() const;
    bool primeWave(Clock::Steady deadline);
    void prepareStreams();
    void startStreams(Clock::Steady now);
    void startStream(Worker& w, Clock::Steady now);
    void streamEnded(H2Wave::Event event);
    Error streamTimedOut() const;

    // Asking again: too early, or told to slow down. (engine_retry.cpp)
    std::optional<milliseconds> retryPause(Worker& w, OutcomeKind kind,
                                           std::optional<milliseconds> serverAsks);
    bool mayRetry(const Worker& w, Clock::Steady now, milliseconds pause) const;
    void stopRetries(std::size_t item);
    void sendDue();

    ExchangeRun::State& s_;
    ResolvedHost host_;  // outlives the transfers that point at it
    std::vector<Worker> workers_;
    std::vector<std::string> requests_;  // each item's request as written on a connection
    std::vector<std::string> urls_;
    std::unique_ptr<PrimedConnections> conns_;
    std::vector<web::H2Request> h2Requests_;  // each item's request as HTTP/2 fields
    std::unique_ptr<H2Wave> wave_;
    std::optional<Error> fatal_;  // the run could not go on
    std::vector<H2Wave::Event> events_;
    std::deque<std::size_t> queued_;  // workers waiting for a connection to come free
    std::vector<int> freeConns_;      // open connections nobody holds
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
    int onConn_ = 0;
    int sends_ = 0;
    std::mt19937_64 rng_{std::random_device{}()};
    std::uniform_real_distribution<double> jitter_{0.0, 1.0};
};

}  // namespace vellicor::mall
