// How the engine waits for its instant: the last sleep is sharp and short, so that the
// firing thread neither wakes late nor has used up its share of the processor by the instant.
// On a mock clock that the test moves only to where a thread sleeps: a busy machine makes the
// run slower, never late.

#include "timed_fixture.h"

namespace vellicor::mall {
namespace {

using namespace timed;

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
        ASSERT_TRUE(controller.start({"选择框1"}, "2", vellicor::web::oneAccount(kCookies), options));
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
