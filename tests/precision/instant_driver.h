#pragma once
// Timed runs on a mock clock that the test moves only to where a thread of the run sleeps: the
// run comes to its instant only once it waits for it, so a busy machine makes it slower, never
// late, and what it does before and at the instant is the same on every run.

#include <sys/prctl.h>

#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "mall/preopen.h"
#include "platform/clock.h"
#include "wait_until.h"

namespace vellicor::mall::timed {

// The mock clock, noting each sleep asked of it with the timer slack of the thread that
// asked, and which sleeps are still under way.
class SleepNotingClock final : public Clock {
  public:
    struct Sleep {
        Steady deadline;
        long slack = 0;
    };
    explicit SleepNotingClock(MockClock& inner) : inner_(inner) {}
    WallTime wallNow() const override { return inner_.wallNow(); }
    Steady steadyNow() const override { return inner_.steadyNow(); }
    int utcOffsetSeconds(WallTime at) const override { return inner_.utcOffsetSeconds(at); }
    void sleepUntil(Steady deadline) const override {
        begin(deadline);
        inner_.sleepUntil(deadline);
        end(deadline);
    }
    void sleepUntilOrStop(Steady deadline, std::stop_token stop) const override {
        begin(deadline);
        inner_.sleepUntilOrStop(deadline, stop);
        end(deadline);
    }
    // The nearest deadline a thread sleeps towards, when one lies ahead of the clock.
    std::optional<Steady> nextWake() const {
        std::lock_guard lock(mutex_);
        const auto next = underWay_.upper_bound(inner_.steadyNow());
        return next == underWay_.end() ? std::nullopt : std::optional(*next);
    }
    // Whether a thread whose sleep has ended is still on its way out of it.
    bool waking() const {
        std::lock_guard lock(mutex_);
        return !underWay_.empty() && *underWay_.begin() <= inner_.steadyNow();
    }
    // The sleep that ended last before `at`.
    std::optional<Sleep> lastBefore(Steady at) const {
        std::lock_guard lock(mutex_);
        std::optional<Sleep> last;
        for (const Sleep& s : sleeps_) {
            if (s.deadline <= at && (!last || s.deadline > last->deadline)) {
                last = s;
            }
        }
        return last;
    }

  private:
    void begin(Steady deadline) const {
        const long slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        std::lock_guard lock(mutex_);
        sleeps_.push_back({deadline, slack});
        underWay_.insert(deadline);
    }
    void end(Steady deadline) const {
        std::lock_guard lock(mutex_);
        underWay_.erase(underWay_.find(deadline));
    }
    MockClock& inner_;
    mutable std::mutex mutex_;
    mutable std::vector<Sleep> sleeps_;
    mutable std::multiset<Steady> underWay_;
};

// Moves the clock until `done` holds: to the nearest wake-up of a sleeping thread, but not past
// the spin before the instant; from there, once the thread woken there is out of its sleep (and
// spins), to the instant; after it, freely. False when nothing slept and `done` did not come within
// the bound, which is also what a run that spins without its last sleep comes to. `released`, when
// given, gets the real time (ns since the epoch) at which the instant was let come: whatever
// reached a peer before it was sent before the instant.
inline bool driveUntil(MockClock& mock, const SleepNotingClock& clock, Clock::Steady fireAt,
                       const std::function<bool()>& done, std::int64_t* released = nullptr) {
    const auto spinFrom = fireAt - kFiringSpin;
    const auto atTheSpin = [&] {
        const auto now = mock.steadyNow();
        return now >= spinFrom && now < fireAt;
    };
    // What lets the clock move on: at the spin, the woken thread out of its sleep; elsewhere a
    // thread sleeping ahead.
    const auto canMove = [&] {
        return atTheSpin() ? !clock.waking() : clock.nextWake().has_value();
    };
    for (;;) {
        if (!test::waitUntil([&] { return done() || canMove(); })) {
            return false;
        }
        if (done()) {
            return true;
        }
        const auto now = mock.steadyNow();
        if (atTheSpin()) {
            if (released != nullptr) {
                *released = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                SystemClock::instance().wallNow().time_since_epoch())
                                .count();
            }
            mock.advance(fireAt - now);
        } else if (const auto next = clock.nextWake()) {
            mock.advance((now < spinFrom ? std::min(*next, spinFrom) : *next) - now);
        }
    }
}

inline bool isReady(const std::future<void>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// As driveUntil, until the run waited for by `ended` is over.
inline bool driveUntilEnded(MockClock& mock, const SleepNotingClock& clock, Clock::Steady fireAt,
                            const std::future<void>& ended, std::int64_t* released = nullptr) {
    return driveUntil(
        mock, clock, fireAt, [&ended] { return isReady(ended); }, released);
}

}  // namespace vellicor::mall::timed
