// How the engine waits for its instant: the last sleep is sharp and short, so that the
// firing thread neither wakes late nor has used up its share of the processor by the instant.

#include <sys/prctl.h>

#include <mutex>

#include "mall/preopen.h"
#include "timed_fixture.h"

namespace vellicor::mall {
namespace {

using namespace timed;

// The system's clock, noting each sleep asked of it with the timer slack of the thread that
// asked.
class SleepNotingClock final : public Clock {
  public:
    struct Sleep {
        Steady deadline;
        long slack = 0;
    };
    WallTime wallNow() const override { return system_.wallNow(); }
    Steady steadyNow() const override { return system_.steadyNow(); }
    int utcOffsetSeconds(WallTime at) const override { return system_.utcOffsetSeconds(at); }
    void sleepUntil(Steady deadline) const override {
        note(deadline);
        system_.sleepUntil(deadline);
    }
    void sleepUntilOrStop(Steady deadline, std::stop_token stop) const override {
        note(deadline);
        system_.sleepUntilOrStop(deadline, stop);
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
    void note(Steady deadline) const {
        const long slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        std::lock_guard lock(mutex_);
        sleeps_.push_back({deadline, slack});
    }
    const SystemClock& system_ = SystemClock::instance();
    mutable std::mutex mutex_;
    mutable std::vector<Sleep> sleeps_;
};

TEST_F(TimedRun, TheLastSleepBeforeTheInstantIsSharpAndEndsAShortSpinAhead) {
    for (const long lead : {0L, 300L}) {
        SCOPED_TRACE(lead > 0 ? "connections opened ahead" : "nothing opened ahead");
        startPortal();
        config_.timer.preopenLeadMs = lead;
        SleepNotingClock clock;
        RunOptions options;
        options.fireAt = clock.steadyNow() + milliseconds(lead + 200);
        ExchangeController controller(config_, clock, lines_.sink());
        ASSERT_TRUE(controller.start({"选择框1"}, "2", kCookies, options));
        controller.wait();
        const auto last = clock.lastBefore(*options.fireAt);
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(last->slack, 1) << "the firing thread's timer slack while it waits";
        EXPECT_GE(last->deadline, *options.fireAt - kFiringSpin);
    }
}

}  // namespace
}  // namespace vellicor::mall
