// The timer reads its set time on the mall's clock once the mall has told its time.

#include <gtest/gtest.h>

#include <thread>

#include "schedule/timed_redemption.h"

namespace vellicor::schedule {
namespace {

using namespace std::chrono_literals;

Clock::WallTime beijing(int h, int m, int s) {
    // 2024-01-01 00:00:00 at UTC+8.
    return Clock::WallTime(std::chrono::seconds(1704038400 + h * 3600 + m * 60 + s));
}

TEST(MallClockArming, SetTimeIsReadOnTheMallsClock) {
    struct Case {
        std::chrono::nanoseconds mallAhead;
        Clock::WallTime fires;  // on the computer's clock, for the set time 11:59:59
    };
    const Case cases[] = {
        {500ms, beijing(11, 59, 58) + 500ms},
        {-1250ms, beijing(12, 0, 0) + 250ms},
    };
    for (const auto& c : cases) {
        MockClock clock(beijing(11, 0, 0));
        TimerHooks hooks;
        hooks.aimAt = [&c, &clock](TimeOfDay at, Clock::WallTime) {
            return std::optional(AimedInstant{nextOccurrence(at, clock, c.mallAhead), "", true});
        };
        Scheduler::Options options;
        options.spin = 0ns;
        TimedRedemption redemption(clock, hooks, options);
        redemption.arm();
        // The answer comes from a thread of its own; the armed instant moves once it is in.
        while (redemption.armedInstant() == beijing(11, 59, 59)) {
            std::this_thread::yield();
        }
        EXPECT_EQ(redemption.armedInstant(), c.fires);
    }
}

}  // namespace
}  // namespace vellicor::schedule
