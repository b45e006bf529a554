#include "schedule/scheduler.h"

#include <atomic>
#include <stop_token>

namespace vellicor::schedule {

struct Scheduler::Run {
    std::mutex mutex;
    WallTime instant;
    Callback prepare;
    Callback fire;
    bool cancelled = false;
    bool fired = false;
    std::stop_source stop;  // wakes the thread's sleep when the arming is called off
    std::atomic<bool> finished{false};

    void cancel() {
        std::lock_guard lock(mutex);
        cancelled = true;
        stop.request_stop();
    }

    WallTime target() {
        std::lock_guard lock(mutex);
        return instant;
    }
    bool stopped() {
        std::lock_guard lock(mutex);
        return cancelled;
    }
    // Claims the one firing; false once cancelled. Taken under the lock that disarm takes,
    // so that no firing starts after a disarm has returned.
    bool claimFiring() {
        std::lock_guard lock(mutex);
        if (cancelled || fired) {
            return false;
        }
        fired = true;
        return true;
    }
};

Scheduler::Scheduler(const Clock& clock) : Scheduler(clock, Options{}) {}

Scheduler::Scheduler(const Clock& clock, Options options)
    : clock_(clock), options_(std::move(options)) {}

Scheduler::~Scheduler() {
    disarm();
    decltype(threads_) threads;
    {
        // Joined outside the lock: a call-back still running may ask whether it is armed.
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& [run, thread] : threads) {
        thread.join();
    }
}

void Scheduler::arm(WallTime instant, Callback prepare, Callback fire) {
    auto run = std::make_shared<Run>();
    run->instant = instant;
    run->prepare = std::move(prepare);
    run->fire = std::move(fire);
    disarm();
    std::lock_guard lock(mutex_);
    reapFinished();
    current_ = run;
    threads_.emplace_back(run, std::thread([this, run] { loop(run); }));
}

void Scheduler::disarm() {
    std::lock_guard lock(mutex_);
    if (current_) {
        current_->cancel();
    }
    current_.reset();
}

void Scheduler::retarget(WallTime instant) {
    std::lock_guard lock(mutex_);
    if (current_) {
        std::lock_guard runLock(current_->mutex);
        current_->instant = instant;
    }
}

bool Scheduler::armed() const {
    std::lock_guard lock(mutex_);
    if (!current_) {
        return false;
    }
    std::lock_guard runLock(current_->mutex);
    return !current_->cancelled && !current_->fired;
}

std::optional<Scheduler::WallTime> Scheduler::instant() const {
    std::lock_guard lock(mutex_);
    if (!current_) {
        return std::nullopt;
    }
    std::lock_guard runLock(current_->mutex);
    if (current_->cancelled || current_->fired) {
        return std::nullopt;
    }
    return current_->instant;
}

// Threads of earlier armings end as soon as their disarm wakes them; those that have ended are
// joined here, so that re-arming never blocks the caller.
void Scheduler::reapFinished() {
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->first->finished) {
            it->second.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

void Scheduler::sleepSlice(Run& run, Clock::Steady deadline) {
    if (options_.onWait) {
        options_.onWait(deadline);
    }
    clock_.sleepUntilOrStop(deadline, run.stop.get_token());
}

// A sleep wakes some tens of microseconds late; the last stretch is spun out instead.
void Scheduler::sleepExactly(Run& run, Clock::Steady deadline, std::chrono::nanoseconds spin) {
    if (options_.onWait) {
        options_.onWait(deadline);
    }
    const auto stop = run.stop.get_token();
    clock_.sleepUntilOrStop(deadline - spin, stop);
    while (!stop.stop_requested() && clock_.steadyNow() < deadline) {
        std::this_thread::yield();
    }
}

void Scheduler::loop(const std::shared_ptr<Run>& run) {
    bool prepared = !run->prepare;
    while (!run->stopped()) {
        const WallTime instant = run->target();
        const WallTime goal = prepared ? instant : instant - options_.lead;
        // The wall clock says how far the goal is; the steady clock measures the way there.
        // Steady is read first: should time move between the two reads, the deadline comes
        // out early and the loop looks again, never late.
        const Clock::Steady now = clock_.steadyNow();
        const auto remaining = goal - clock_.wallNow();
        if (remaining <= WallTime::duration::zero()) {
            if (!prepared) {
                prepared = true;
                run->prepare(instant);
                continue;
            }
            if (run->claimFiring()) {
                run->fire(instant);
            }
            break;
        }
        const std::chrono::nanoseconds left = remaining;
        if (left > options_.slice) {
            sleepSlice(*run, now + options_.slice);
        } else {
            // A run handed over at the lead keeps its own time and spins on its own; a spin
            // here as well would only take a processor from it at its instant.
            const bool handedOver = run->prepare && prepared;
            sleepExactly(*run, now + left,
                         handedOver ? std::chrono::nanoseconds(0) : options_.spin);
        }
    }
    run->finished = true;
}

}  // namespace vellicor::schedule
