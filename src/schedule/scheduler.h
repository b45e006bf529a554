#pragma once
// The single-shot wake-up behind the timed redemption: a thread that sleeps until an
// instant and then calls back exactly once, with a second call-back a lead time earlier so
// that a run can get ready (open connections) before the instant.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace vellicor::schedule {

class Scheduler {
  public:
    using WallTime = Clock::WallTime;
    using Callback = std::function<void(WallTime instant)>;

    struct Options {
        // The prepare call-back comes this long before the instant (at once when the
        // instant is nearer than that).
        std::chrono::nanoseconds lead{0};
        // The last stretch before a deadline is spun out instead of slept, because a sleep
        // wakes a little late; not before a firing whose run was prepared, which keeps its
        // own time. Zero for clocks that only move when told.
        std::chrono::nanoseconds spin = std::chrono::milliseconds(2);
        // Longest single sleep. Between sleeps the instant is re-read against the wall clock,
        // so that a system clock set right after arming (as the notice asks the user to do)
        // still fires when the clock shows the set time.
        std::chrono::nanoseconds slice = std::chrono::milliseconds(100);
        // Called on the scheduler's thread before each sleep, with its steady deadline.
        std::function<void(Clock::Steady deadline)> onWait;
    };

    explicit Scheduler(const Clock& clock);
    Scheduler(const Clock& clock, Options options);
    // Disarms and waits for the scheduler's threads (a running call-back finishes first).
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Arms for `instant` (computer's wall clock), replacing whatever was armed. `prepare`
    // (may be empty) is called once at instant − lead, `fire` once when the wall clock reaches
    // the instant; both on the scheduler's thread, `prepare` always before `fire`. An
    // instant already past fires at once. Does not block.
    void arm(WallTime instant, Callback prepare, Callback fire);
    // After this returns, neither call-back of the current arming starts any more.
    void disarm();
    // Moves the armed instant (a newer clock offset); does nothing when not armed. The
    // prepare call-back is not repeated.
    void retarget(WallTime instant);

    // Armed and not yet fired.
    bool armed() const;
    std::optional<WallTime> instant() const;

  private:
    struct Run;
    void loop(const std::shared_ptr<Run>& run);
    void sleepSlice(Run& run, Clock::Steady deadline);
    void sleepExactly(Run& run, Clock::Steady deadline, std::chrono::nanoseconds spin);
    void reapFinished();

    const Clock& clock_;
    Options options_;
    mutable std::mutex mutex_;
    std::shared_ptr<Run> current_;
    std::vector<std::pair<std::shared_ptr<Run>, std::thread>> threads_;
};

}  // namespace vellicor::schedule
