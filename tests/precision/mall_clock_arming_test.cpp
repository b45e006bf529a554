// The timer reads its set time on the mall's clock once the mall has told its time.

#include <gtest/gtest.h>

#include "mall/exchange_controller.h"
#include "portal/server.h"
#include "schedule/timed_redemption.h"
#include "wait_until.h"

namespace vellicor::schedule {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

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
        ASSERT_TRUE(test::waitUntil([&redemption] {
            return redemption.armedInstant() != beijing(11, 59, 59);
        })) << "the armed instant never moved to the mall's clock";
        EXPECT_EQ(redemption.armedInstant(), c.fires);
    }
}

// Once the engine has taken its instant for the last wait, a retime is not followed and says
// so: the run goes at the instant it had. On a mock clock the engine spins at that last wait
// until the test moves the clock.
TEST(MallClockArming, RetimeTooLateForTheEngineSaysSo) {
    auto server = portal::Server::start(
        R"({"sessions": {"10001": "retimekey"}, "itemDefaults": {"price": 0}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    Config config = Config::defaults().withPortal((*server)->baseUrl());
    config.timer.preopenLeadMs = 0;
    MockClock clock(Clock::WallTime(std::chrono::system_clock::now()));
    mall::ExchangeController controller(config, clock, [](const std::string&) {});
    mall::RunOptions options;
    const auto instant = clock.steadyNow() + 2ms;
    options.fireAt = instant;
    ASSERT_TRUE(controller.start({"选择框1"}, "2", web::oneAccount("uin=o10001; skey=retimekey"), options));
    // Moving it to where it is changes nothing, until the engine no longer follows.
    ASSERT_TRUE(test::waitUntil([&controller, instant] { return !controller.retime(instant); }))
        << "the engine never took its instant";
    EXPECT_FALSE(controller.retime(instant + 1h));
    clock.advance(2ms);
    controller.wait();
    const auto summary = controller.lastSummary();
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->lines, 2);
}

}  // namespace
}  // namespace vellicor::schedule
