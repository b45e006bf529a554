// How the engine waits for its instant: the last sleep is sharp and short, so that the
// firing thread neither wakes late nor has used up its share of the processor by the instant.
// On a mock clock that the test moves only to where a thread sleeps: a busy machine makes the
// run slower, never late.

#include <sys/prctl.h>

#include <future>
#include <mutex>
#include <set>

#include "mall/preopen.h"
#include "timed_fixture.h"
#include "wait_until.h"

namespace vellicor::mall {
namespace {

using namespace timed;

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
    bool sleeping() const {
        std::lock_guard lock(mutex_);
        return !underWay_.empty();
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

// Moves the clock until the run has ended: to the nearest wake-up of a sleeping thread, but
// not past the spin before the instant; from there, once nobody sleeps (the firing thread
// spins), to the instant; after it, freely. False when the run neither slept nor ended within
// the bound, which is also what a run that spins without its last sleep comes to.
bool driveUntilEnded(MockClock& mock, const SleepNotingClock& clock, Clock::Steady fireAt,
                     const std::future<void>& ended) {
    const auto spinFrom = fireAt - kFiringSpin;
    const auto over = [&ended] {
        return ended.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    };
    const auto spinning = [&] {
        const auto now = mock.steadyNow();
        return now >= spinFrom && now < fireAt && !clock.sleeping();
    };
    for (;;) {
        if (!test::waitUntil([&] { return over() || clock.nextWake() || spinning(); })) {
            return false;
        }
        if (over()) {
            return true;
        }
        const auto now = mock.steadyNow();
        if (spinning()) {
            mock.advance(fireAt - now);
        } else if (const auto next = clock.nextWake()) {
            mock.advance((now < spinFrom ? std::min(*next, spinFrom) : *next) - now);
        }
    }
}

TEST_F(TimedRun, TheLastSleepBeforeTheInstantIsSharpAndEndsAShortSpinAhead) {
    for (const long lead : {0L, 300L}) {
        SCOPED_TRACE(lead > 0 ? "connections opened ahead" : "nothing opened ahead");
        startPortal();
        config_.timer.preopenLeadMs = lead;
        MockClock mock(SystemClock::instance().wallNow());
        SleepNotingClock clock(mock);
        RunOptions options;
        const auto fireAt = mock.steadyNow() + milliseconds(lead + 200);
        options.fireAt = fireAt;
        ExchangeController controller(config_, clock, lines_.sink());
        ASSERT_TRUE(controller.start({"选择框1"}, "2", kCookies, options));
        auto ended = std::async(std::launch::async, [&controller] { controller.wait(); });
        if (!driveUntilEnded(mock, clock, fireAt, ended)) {
            controller.cancel();
            mock.advance(std::chrono::hours(1));  // so that no sleep holds the cancelled run
            FAIL() << "the run neither slept towards its instant nor ended: " << lines_.text();
        }
        EXPECT_EQ(requests(true).size(), 2u) << lines_.text();
        const auto last = clock.lastBefore(fireAt);
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(last->slack, 1) << "the firing thread's timer slack while it waits";
        EXPECT_EQ(last->deadline, fireAt - kFiringSpin) << "the spin before the instant";
    }
}

}  // namespace
}  // namespace vellicor::mall
