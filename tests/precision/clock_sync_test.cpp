// The mall clock offset from Date headers: a scripted mall on a mock clock, then the simulator.

#include <gtest/gtest.h>

#include <cmath>

#include "mall/clock_sync.h"
#include "portal/server.h"

namespace vellicor::mall {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

// A mall whose clock is `ahead` behind ours, answering each probe after `trip`, stamping its
// Date somewhere inside the trip (where varies from probe to probe).
DateProber scriptedMall(MockClock& clock, nanoseconds ahead, nanoseconds trip, bool withDate) {
    auto count = std::make_shared<int>(0);
    return [&clock, ahead, trip, withDate, count](std::optional<Clock::WallTime> at) {
        if (at && *at > clock.wallNow()) {
            clock.advance(*at - clock.wallNow());
        }
        DateProbe p;
        p.sent = clock.wallNow();
        const nanoseconds before = trip * ((*count)++ % 5) / 4;
        clock.advance(before);
        const auto mallNow = clock.wallNow().time_since_epoch() - ahead;
        if (withDate) {
            p.dateSeconds = std::chrono::floor<seconds>(mallNow).count();
        }
        clock.advance(trip - before);
        p.received = clock.wallNow();
        return Result<DateProbe>(p);
    };
}

TEST(ClockSync, BoundHoldsTheTrueOffsetAndNarrows) {
    struct Case {
        double aheadMs;
        double tripMs;
        double widest;  // the width the estimate must reach, ms
    };
    const Case cases[] = {
        {0, 0.2, 2},    {412.5, 0.2, 2},   {-3240.9, 0.2, 2}, {999.9, 0.2, 2},
        {-0.5, 0.2, 2}, {1500.25, 1.0, 2}, {-700.1, 30, 70},  {86400123.4, 0.1, 2},
    };
    for (const auto& c : cases) {
        MockClock clock(Clock::WallTime(seconds(1700000000) + microseconds(123457)));
        const auto ahead =
            duration_cast<nanoseconds>(std::chrono::duration<double, std::milli>(c.aheadMs));
        const auto trip =
            duration_cast<nanoseconds>(std::chrono::duration<double, std::milli>(c.tripMs));
        auto got = estimateOffset(scriptedMall(clock, ahead, trip, true), clock);
        ASSERT_TRUE(got.ok()) << got.error().message;
        EXPECT_LE(got->lower, ahead) << c.aheadMs;
        EXPECT_GE(got->upper, ahead) << c.aheadMs;
        EXPECT_LE(got->upper - got->lower,
                  duration_cast<nanoseconds>(std::chrono::duration<double, std::milli>(c.widest)))
            << c.aheadMs << " after " << got->probes << " probes";
        EXPECT_LE(got->probes, SyncOptions{}.probeBudget);
    }
}

TEST(ClockSync, ReplyWithoutDateLeavesTheLocalClock) {
    MockClock clock(Clock::WallTime(seconds(1700000000)));
    auto got =
        estimateOffset(scriptedMall(clock, milliseconds(300), milliseconds(1), false), clock);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().code, ErrorCode::Unavailable);
    EXPECT_NE(offsetLine(got).find("本机时钟"), std::string::npos);
}

TEST(ClockSync, HttpDates) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> seconds;
    };
    const Case cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
        {"Sunday, 06-Nov-94 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 25:49:37 GMT", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseHttpDate(c.text), c.seconds) << c.text;
    }
}

TEST(ClockSync, LineSaysWhichWayTheClockIsOff) {
    OffsetEstimate fast{milliseconds(411), milliseconds(413), 9};
    OffsetEstimate slow{milliseconds(-1251), milliseconds(-1249), 9};
    EXPECT_EQ(offsetLine(fast), "本机时钟比商城快 0.412 秒（误差 ±1.0 毫秒），定时按商城时钟\r\n");
    EXPECT_EQ(offsetLine(slow), "本机时钟比商城慢 1.250 秒（误差 ±1.0 毫秒），定时按商城时钟\r\n");
}

// The simulator's clock runs clockOffsetMs ahead of ours, so ours is that much behind.
TEST(ClockSync, ConvergesOnTheSimulatorsInjectedOffset) {
    for (double offsetMs : {412.5, -1250.25, 0.3}) {
        auto server =
            portal::Server::start(R"({"clockOffsetMs": )" + std::to_string(offsetMs) + "}");
        ASSERT_TRUE(server.ok()) << server.error().message;
        const Config config = Config::defaults().withPortal((*server)->baseUrl());
        auto got = estimateMallOffset(config, SystemClock::instance());
        ASSERT_TRUE(got.ok()) << got.error().message;
        const auto truth =
            -duration_cast<nanoseconds>(std::chrono::duration<double, std::milli>(offsetMs));
        EXPECT_LE(got->lower, truth) << offsetMs;
        EXPECT_GE(got->upper, truth) << offsetMs;
        EXPECT_LT(got->upper - got->lower, milliseconds(100)) << offsetMs;
    }
}

}  // namespace
}  // namespace vellicor::mall
