// Faults of timed runs found by reading the engine: a run armed again inside the lead, an
// instant that moves after the run was prepared, items beyond the connection cap, heads
// written ahead on connections that die, and what a run stopped midway says.

#include <algorithm>
#include <future>
#include <set>

#include "timed_fixture.h"

namespace vellicor::mall {
namespace {

using namespace timed;

class EngineFaults : public TimedRun {
  protected:
    std::int64_t earliestExchange() const {
        std::int64_t first = INT64_MAX;
        for (const auto& r : requests(true)) {
            first = std::min(first, r.completedNanos);
        }
        return first;
    }
    static std::int64_t wallNanosIn(nanoseconds ahead) {
        return nanosOf(SystemClock::instance().wallNow()) + ahead.count();
    }
};

// Pressing "定" again within the lead cancels the prepared run; the new one must still be
// accepted and fire, once, at the new time.
TEST_F(EngineFaults, ArmedAgainWithinTheLeadFiresOnceAtTheNewTime) {
    startPortal();
    const Clock& clock = SystemClock::instance();
    std::promise<void> prepared;
    lines_.onLine("已预先建立", [&prepared] { prepared.set_value(); });
    ExchangeController controller(config_, clock, lines_.sink());
    RunOptions first;
    first.fireAt = clock.steadyNow() + milliseconds(900);
    ASSERT_TRUE(controller.start({"选择框1"}, "10", kCookies, first));
    prepared.get_future().wait();
    controller.cancel();
    RunOptions second;
    const auto secondIn = milliseconds(1300);
    second.fireAt = clock.steadyNow() + secondIn;
    const std::int64_t secondAt = wallNanosIn(secondIn);
    ASSERT_TRUE(controller.start({"选择框1"}, "10", kCookies, second)) << lines_.text();
    controller.wait();
    EXPECT_EQ(requests(true).size(), 10u) << lines_.text();
    EXPECT_GE(earliestExchange(), secondAt - 100000);
    EXPECT_EQ(lines_.count("恭喜您"), 10);
}

// The mall's clock, estimated after the run was prepared, moves the instant: the engine
// follows it until it fires.
TEST_F(EngineFaults, InstantMovedAfterPrepareIsFollowed) {
    startPortal();
    const Clock& clock = SystemClock::instance();
    ExchangeController controller(config_, clock, lines_.sink());
    RunOptions options;
    options.fireAt = clock.steadyNow() + milliseconds(700);
    ASSERT_TRUE(controller.start({"选择框1"}, "5", kCookies, options));
    const auto laterIn = milliseconds(1400);
    const std::int64_t laterAt = wallNanosIn(laterIn);
    EXPECT_TRUE(controller.retime(clock.steadyNow() + laterIn));
    controller.wait();
    ASSERT_EQ(requests(true).size(), 5u);
    EXPECT_GE(earliestExchange(), laterAt - 100000);
    EXPECT_FALSE(controller.retime(clock.steadyNow() + laterIn)) << "a fired run cannot move";
}

// Beyond the connection cap every ticked item has its share of the first wave.
TEST_F(EngineFaults, ItemsBeyondTheCapShareTheFirstWave) {
    startPortal();
    config_.exchange.maxConnectionsPerHost = 6;
    Clock::WallTime instant;
    runTimed({"选择框1", "选择框2", "选择框3"}, 6, instant);
    auto exchanges = requests(true);
    ASSERT_EQ(exchanges.size(), 18u);
    std::sort(exchanges.begin(), exchanges.end(),
              [](const auto& a, const auto& b) { return a.completedNanos < b.completedNanos; });
    std::set<std::string> firstWave;
    for (std::size_t i = 0; i < 6; ++i) {
        const auto& t = exchanges[i].target;
        firstWave.insert(t.substr(t.find("propsid=")));
    }
    EXPECT_EQ(firstWave.size(), 3u) << "the first six arrivals were not spread over the items";
}

// With last-byte synchronisation the head of each request is on the wire ahead; connections
// the mall drops before the instant take their heads with them, and every request still
// reaches the mall whole.
TEST_F(EngineFaults, HeadWrittenAheadGoesWithItsConnection) {
    startPortal(R"("idleTimeoutMs": 150)");
    config_.timer.lastByteSync = true;
    Clock::WallTime instant;
    const RunSummary summary = runTimed({"选择框1"}, 10, instant);
    EXPECT_EQ(summary.lines, 10);
    EXPECT_EQ(lines_.count("恭喜您"), 10) << lines_.text();
}

// Stopped after the instant: requests already on the wire may have been acted on by the mall,
// and the lines say so instead of claiming they were not sent.
TEST_F(EngineFaults, StoppedAfterTheInstantSaysWhatMayHaveArrived) {
    startPortal(R"("replyDelayMs": 3000)");
    const Clock& clock = SystemClock::instance();
    ExchangeController controller(config_, clock, lines_.sink());
    RunOptions options;
    options.fireAt = clock.steadyNow() + milliseconds(700);
    ASSERT_TRUE(controller.start({"选择框1"}, "4", kCookies, options));
    while (requests(true).size() < 4) {
        clock.sleepUntil(clock.steadyNow() + milliseconds(5));
    }
    controller.cancel();
    controller.wait();
    EXPECT_EQ(lines_.count("已发出，结果未知"), 4) << lines_.text();
    EXPECT_EQ(lines_.count("已取消，本次兑换已停止"), 0);
}

}  // namespace
}  // namespace vellicor::mall
