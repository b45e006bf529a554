// When a timed run writes its first request, on a clock that only moves when told.

#include "mall/aim.h"

#include <gtest/gtest.h>

namespace vellicor::mall {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using WallTime = Clock::WallTime;

WallTime beijing(int h, int m, int s, nanoseconds extra = {}) {
    // 2024-01-01 00:00:00 at UTC+8.
    return WallTime(std::chrono::seconds(1704038400 + h * 3600 + m * 60 + s)) +
           std::chrono::duration_cast<WallTime::duration>(extra);
}

// Our clock 400 ms ahead of the mall's (±0.1 ms), the way there 15 ms: A ∈ (384.9, 385.1].
OffsetEstimate ahead400() {
    OffsetEstimate e;
    e.lower = 399900us;
    e.upper = 400100us;
    e.arrivalLower = 384900us;
    e.arrivalUpper = 385100us;
    e.probes = 20;
    return e;
}

// Our clock 1.25 s behind the mall's, the way there 30 ms: A ∈ (-1280.1, -1279.9].
OffsetEstimate behind1250() {
    OffsetEstimate e;
    e.lower = -1250100us;
    e.upper = -1249900us;
    e.arrivalLower = -1280100us;
    e.arrivalUpper = -1279900us;
    return e;
}

// As ahead400, but the probe that set the upper end may have been worked on for 30 ms (its
// Date stamped as its answer left): the bound reaches 30 ms below it.
OffsetEstimate working30() {
    OffsetEstimate e = ahead400();
    e.arrivalLower = 355100us;
    e.work = 30ms;
    return e;
}

Result<OffsetEstimate> failed() {
    return makeError(ErrorCode::Timeout, "no answer");
}

TEST(Aim, FirstRequestLeavesSoAsToArriveJustAfterTheOpening) {
    struct Case {
        const char* what;
        TimerAim aim;
        double marginMs;
        bool serverClock;
        Result<OffsetEstimate> estimate;
        WallTime now;
        WallTime sendAt;
        const char* line;
    };
    const Case cases[] = {
        {"arrival: the upper end of the bound and the margin past the opening", TimerAim::Arrival,
         0.5, true, ahead400(), beijing(11, 59, 50), beijing(12, 0, 0, 385600us),
         "本机时钟比商城快 0.400 秒（误差 ±0.1 毫秒），"
         "请求将提前 14.4 毫秒发出，首个请求在开门后 0.5 至 0.7 毫秒之间到达商城\r\n"},
        {"arrival, our clock behind, a wider margin", TimerAim::Arrival, 2, true, behind1250(),
         beijing(11, 59, 50), beijing(11, 59, 58, 722100us),
         "本机时钟比商城慢 1.250 秒（误差 ±0.1 毫秒），"
         "请求将提前 27.9 毫秒发出，首个请求在开门后 2.0 至 2.2 毫秒之间到达商城\r\n"},
        {"arrival, no address answered at once: the whole work in the bound", TimerAim::Arrival,
         0.5, true, working30(), beijing(11, 59, 50), beijing(12, 0, 0, 385600us),
         "本机时钟比商城快 0.400 秒（误差 ±0.1 毫秒），商城没有即刻应答的地址，处理请求至多 "
         "30.0 毫秒，全数算在路上：请求宁迟勿早，"
         "请求将提前 14.4 毫秒发出，首个请求在开门后 0.5 至 30.5 毫秒之间到达商城\r\n"},
        {"send: when the offset's upper end says the mall shows the time", TimerAim::Send, 0.5,
         true, ahead400(), beijing(11, 59, 50), beijing(12, 0, 0, 400100us),
         "本机时钟比商城快 0.400 秒（误差 ±0.1 毫秒），请求在商城时钟到点时发出\r\n"},
        {"no reading: the computer's clock", TimerAim::Arrival, 0.5, true, failed(),
         beijing(11, 59, 50), beijing(12, 0, 0),
         "未能读取商城时钟（no answer），定时按本机时钟\r\n"},
        {"server clock off", TimerAim::Arrival, 0.5, false, ahead400(), beijing(11, 59, 50),
         beijing(12, 0, 0), "未启用商城时钟，定时按本机时钟\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MockClock clock(c.now);
        Config config = Config::defaults();
        config.timer.aim = c.aim;
        config.timer.arrivalMarginMs = c.marginMs;
        config.timer.useServerClock = c.serverClock;
        const FiringAim aim = aimFiring(config, clock, c.estimate, {12, 0, 0});
        EXPECT_EQ(aim.sendAt, c.sendAt);
        EXPECT_EQ(aim.fireAt - clock.steadyNow(), c.sendAt - c.now);
        EXPECT_EQ(aim.line, c.line);
    }
}

// Today or tomorrow is decided on the mall's clock: its set second under way is today's.
TEST(Aim, SetSecondUnderWayOnTheMallsClockIsToday) {
    struct Case {
        const char* what;
        OffsetEstimate estimate;
        WallTime now;      // our clock
        WallTime opening;  // on the mall's clock
    };
    const Case cases[] = {
        {"mall at 11:59:59.9996", ahead400(), beijing(12, 0, 0, 399600us), beijing(12, 0, 0)},
        {"mall at 12:00:00.0", ahead400(), beijing(12, 0, 0, 400000us), beijing(12, 0, 0)},
        {"mall at 12:00:00.9999", ahead400(), beijing(12, 0, 1, 399900us), beijing(12, 0, 0)},
        {"mall at 12:00:01.0", ahead400(), beijing(12, 0, 1, 400000us), beijing(12, 0, 0) + 24h},
        {"ours past 12:00:01, the mall's not", ahead400(), beijing(12, 0, 1, 200000us),
         beijing(12, 0, 0)},
        {"ours before 12:00, the mall's second over", behind1250(), beijing(11, 59, 59, 750000us),
         beijing(12, 0, 0) + 24h},
        {"ours before 12:00, the mall's second not quite over", behind1250(),
         beijing(11, 59, 59, 749900us), beijing(12, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MockClock clock(c.now);
        const FiringAim aim = aimFiring(Config::defaults(), clock, c.estimate, {12, 0, 0});
        EXPECT_EQ(aim.opening, c.opening);
        // Past already: at once, never before now.
        EXPECT_GE(aim.fireAt, clock.steadyNow());
        if (aim.sendAt <= c.now) {
            EXPECT_EQ(aim.fireAt, clock.steadyNow());
        }
    }
}

// The day is fixed when the run is armed: a set second that has ended on the mall's clock by the
// time the estimate answers is said to have passed, never moved to the next day; one still
// under way goes at once.
TEST(Aim, SetSecondPassedWhileEstimatingIsSaidPlainly) {
    struct Case {
        const char* what;
        Result<OffsetEstimate> estimate;
        WallTime now;  // ours, when the estimate answered
        bool passed;
        const char* line;  // when passed
    };
    const Case cases[] = {
        {"the mall's second over", ahead400(), beijing(12, 0, 1, 400000us), true,
         "设定的 12:00:00 已过（商城时钟已是 12:00:01），本次不兑换\r\n"},
        {"the mall's second under way", ahead400(), beijing(12, 0, 1, 300000us), false, ""},
        {"ours past, the mall's still before", behind1250(), beijing(11, 59, 58, 500000us), false,
         ""},
        {"no reading: our own clock says it passed", failed(), beijing(12, 0, 3), true,
         "设定的 12:00:00 已过（商城时钟已是 12:00:03），本次不兑换\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MockClock clock(c.now);
        const FiringAim aim = aimFiring(Config::defaults(), clock, c.estimate, beijing(12, 0, 0));
        EXPECT_EQ(aim.passed, c.passed);
        EXPECT_EQ(aim.opening, beijing(12, 0, 0));
        if (c.passed) {
            EXPECT_EQ(aim.line, c.line);
        } else {
            EXPECT_GE(aim.fireAt, clock.steadyNow());
        }
    }
}

// A lead too short for the full estimate gets what fits, leaving a second for the run.
TEST(Aim, EstimateBudgetFitsTheTimeLeft) {
    struct Case {
        nanoseconds left;
        nanoseconds budget;
    };
    const Case cases[] = {
        {3600s, 8s}, {9s, 8s}, {3s, 2s}, {1500ms, 500ms}, {1s, 0s}, {-5s, 0s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(syncOptionsFor(c.left).timeBudget, c.budget) << c.left.count();
    }
}

}  // namespace
}  // namespace vellicor::mall
