#pragma once
// One exchange run: every item of the plan sent N times, all at once, from one engine thread
// driving a libcurl multi handle. Every send ends with exactly one outcome line; the run ends
// with a summary line.

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mall/catalogue.h"
#include "mall/outcome.h"
#include "mall/run_input.h"
#include "mall/run_summary.h"
#include "mall/timeline.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/services.h"

namespace vellicor::mall {

class RunTransport;
// Makes a run's way to the mall (see send_roles.h); empty: libcurl and the run's own
// connections.
using TransportFactory = std::function<std::unique_ptr<RunTransport>(const Config& config)>;

struct RunOptions {
    // Prepare everything, then send at this instant of the clock; empty sends at once.
    std::optional<Clock::Steady> fireAt;
    // Optional: every outcome as its line is written, on the engine thread; must not block.
    // `account` names the account the request was sent for (empty for a run on a bare cookie
    // string).
    std::function<void(const Item& item, const Outcome& outcome, const std::string& account)>
        onOutcome;
    // Optional: the run's first "slow down" answer as it comes, whether or not it is asked
    // again after its pause (onOutcome sees only a request's last answer). Once per run, on the
    // engine thread; must not block.
    std::function<void(const Item& item, const Outcome& outcome, const std::string& account)>
        onThrottled;
    // Where the requests go and how the run waits for them.
    TransportFactory transport;
    // Keeps when each request left and was answered, for the summary's timeline. Off, the
    // run keeps nothing of it.
    bool timeline = false;
    // Where the opening stands against `fireAt`, and the way to the mall (timelineFrame of
    // the run's aim). A run retimed later keeps the frame's distance to its new instant.
    // Without a frame a timed run counts from its instant, on the computer's clock.
    std::optional<TimelineFrame> timelineFrame;
};

class ExchangeRun {
  public:
    using Done = std::function<void(const RunSummary&)>;

    // Returns at once; the run goes on on its own thread. The clock must outlive the run.
    // `log` gets whole lines ending "\r\n", one call per line, from the engine thread;
    // `done` is called there last, after the summary line.
    static std::unique_ptr<ExchangeRun> start(RunPlan plan, const Config& config,
                                              const Clock& clock, LogSink log, Done done = {},
                                              RunOptions options = {});
    ~ExchangeRun();  // cancels a run still under way and waits for its thread
    ExchangeRun(const ExchangeRun&) = delete;
    ExchangeRun& operator=(const ExchangeRun&) = delete;

    // Ends the run soon: pending and unanswered requests end with a cancelled line.
    void cancel();
    // Whether the run is done or was cancelled before its instant: either way it sends no
    // request any more, so another run may start beside it.
    bool sendsNothingMore() const;
    // Moves a timed run's instant while the engine still follows it (the mall's clock,
    // estimated later than the run was prepared). False when it is too late (the engine has
    // taken its instant for the last wait, or fired, or was cancelled) or the run is not timed:
    // then the run goes at the instant it had.
    bool retime(Clock::Steady fireAt);
    void wait();
    bool finished() const;
    // Complete once finished().
    RunSummary summary() const;

    struct State;

  private:
    explicit ExchangeRun(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace vellicor::mall
