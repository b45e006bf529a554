#pragma once
// The course of one exchange run, driving every worker on one thread: preparing the workers,
// choosing the ways they send by (see send_roles.h) and opening them ahead, waiting for the
// instant, the loop, the outcomes and the end (engine_run.cpp), and asking again
// (engine_retry.cpp). Nothing outside the exchange run and its tests includes this.

#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mall/resolved_host.h"
#include "mall/run_state.h"
#include "mall/send_roles.h"
#include "mall/timeline_recorder.h"

namespace vellicor::mall {

class Engine final : public SendSink {
  public:
    // The state's transport makes the ways and waits for them.
    explicit Engine(ExchangeRun::State& s)
        : s_(s), accounts_(s.plan.accounts), soldOut_(s.plan.items.size(), false) {}
    void run();

    void onEnd(std::size_t index, Result<web::Reply> reply) override;
    void report(std::size_t index, Outcome outcome) override;
    void send(std::size_t index) override;

  private:
    const Clock& clock() const { return *s_.clock; }
    bool cancelled() const { return s_.cancelRequested.load(); }
    const HttpSettings& http() const { return s_.config.http; }
    static std::string stoppedNote() { return "（该商品已兑换完，停止重试）"; }

    // The run's course. (engine_run.cpp)
    void initTallies();
    void prepareAll();
    void prepareRequest(const web::Account& account, std::size_t itemIndex);
    void prepareWorker(std::size_t item, std::size_t account, int number);
    int connectionCap() const;
    bool anyProxy() const;
    void failAll(const Error& why);
    void chooseWays();
    std::vector<Way> waysToTry();
    void openFirstReady(std::vector<Way>& ways, const Priming& when);
    void keep(Way way);
    std::optional<Priming> priming();
    void waitForFire();
    Clock::Steady fireAt() const;
    bool waitBefore(nanoseconds before);
    void sendAll();
    bool held(std::size_t index) const;
    void loop();
    bool busy() const;
    bool pollOnce();
    void expireRequests();
    int pollTimeoutMs() const;
    void cancelRest();
    Outcome leftOver(std::size_t index) const;
    bool mayHaveArrived(std::size_t index) const;
    void noteReply(std::size_t item, Clock::Steady now);
    void finish();
    std::shared_ptr<const Timeline> makeTimeline() const;

    // Asking again: too early, or told to slow down. (engine_retry.cpp)
    std::optional<milliseconds> retryPause(Worker& w, OutcomeKind kind,
                                           std::optional<milliseconds> serverAsks);
    bool mayRetry(const Worker& w, Clock::Steady now, milliseconds pause) const;
    void stopRetries(std::size_t item);
    void sendDue();
    void noteThrottled(const Worker& w, const Outcome& outcome);

    ExchangeRun::State& s_;
    const std::vector<web::Account> accounts_;  // at least one
    ResolvedHost host_;                         // outlives the transfers that point at it
    std::vector<Worker> workers_;
    std::vector<ItemRequest> items_;
    std::vector<std::optional<Error>> itemErrors_;
    RunLedger ledger_{workers_, items_, s_.cancelRequested};
    WayContext context_{s_.config,
                        *s_.clock,
                        host_,
                        s_.log,
                        s_.options.fireAt.has_value(),
                        ledger_,
                        static_cast<SendSink&>(*this),
                        nullptr};
    // The ways kept, the way tried first first, the fallback last; and the same by role.
    std::vector<Way> ways_;
    std::vector<WayLife*> lives_;
    std::vector<Routing*> routes_;
    std::vector<HoldingAhead*> holders_;
    std::vector<WorkerKeeping*> keepers_;
    std::vector<AfterFiring*> afterFirings_;
    std::vector<Driven*> driven_;
    std::vector<PollWork*> polls_;
    std::vector<IdleKeeping*> idles_;
    std::optional<Error> fatal_;           // the run could not go on
    std::optional<PreciseWakeups> sharp_;  // from the last sleep to the fire's end
    std::vector<PollEntry> polled_;
    std::vector<std::size_t> polledFirst_;  // each polled way's first entry in polled_
    std::size_t unended_ = 0;               // workers still to end
    std::set<std::pair<Clock::Steady, std::size_t>> waiting_;
    std::vector<bool> soldOut_;
    bool throttleTold_ = false;  // onThrottled has been called
    Clock::Steady firstSend_{};
    Clock::Steady started_{};
    std::optional<TimelineRecorder> timeline_;  // when the run keeps its timeline
    std::mt19937_64 rng_{std::random_device{}()};
    std::uniform_real_distribution<double> jitter_{0.0, 1.0};
};

}  // namespace vellicor::mall
