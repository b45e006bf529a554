// The mall clock offset from Date headers: a scripted mall on a mock clock, then the simulator.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "mall/clock_sync.h"

namespace vellicor::mall {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

nanoseconds ms(double value) {
    return duration_cast<nanoseconds>(std::chrono::duration<double, std::milli>(value));
}

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
        {-0.5, 0.2, 2}, {1500.25, 1.0, 2}, {-700.1, 30, 70},  {3000123.4, 0.1, 2},
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

// Given in order, whatever was aimed at: a probe taken sooner than the bound allows moves
// it up; one taken later than it allows is set aside.
TEST(ClockSync, ContradictingProbesNeverEmptyTheBound) {
    const seconds date(1700000000);
    struct Case {
        const char* what;
        std::vector<double> sentAfterDateMs;
        double lowerMs, upperMs;  // the arrival bound, relative to the Date second
    };
    const Case cases[] = {
        {"agreeing", {300, 1250, 1100}, 250, 300},
        {"a faster one moves it up", {300, 1400, 1500}, 500, 1400},
        {"a slower one is set aside", {300, 1400, 350}, 400, 1400},
        {"slower only", {300, -900, 200}, -700, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MockClock clock{Clock::WallTime(date)};
        auto next = std::make_shared<std::size_t>(0);
        DateProber scripted = [&](std::optional<Clock::WallTime>) {
            const double sentMs = c.sentAfterDateMs.at((*next)++);
            DateProbe p;
            p.sent = Clock::WallTime(date + ms(sentMs));
            p.received = p.sent;
            p.dateSeconds = date.count();
            return Result<DateProbe>(p);
        };
        SyncOptions options;
        options.probeBudget = static_cast<int>(c.sentAfterDateMs.size());
        auto got = estimateOffset(scripted, clock, options);
        ASSERT_TRUE(got.ok()) << got.error().message;
        EXPECT_EQ(got->probes, options.probeBudget);
        EXPECT_EQ(got->arrivalLower, ms(c.lowerMs));
        EXPECT_EQ(got->arrivalUpper, ms(c.upperMs));
    }
}

// The mall's way: `up` to it, `work` on the page, `down` back; its Date stamped as the request
// comes in or as the answer leaves. Its clock is `ahead` behind ours, so A = ahead − up.
struct Way {
    nanoseconds up{0};
    nanoseconds work{0};
    nanoseconds down{0};
    bool onDeparture = false;
    bool bareAnswered = true;  // the prober knows the transport's round trip
};

DateProber workingMall(MockClock& clock, nanoseconds ahead, Way way) {
    return [&clock, ahead, way](std::optional<Clock::WallTime> at) {
        if (at && *at > clock.wallNow()) {
            clock.advance(*at - clock.wallNow());
        }
        DateProbe p;
        p.sent = clock.wallNow();
        clock.advance(way.up);
        const auto taken = clock.wallNow().time_since_epoch() - ahead;
        clock.advance(way.work);
        const auto leaves = clock.wallNow().time_since_epoch() - ahead;
        p.dateSeconds = std::chrono::floor<seconds>(way.onDeparture ? leaves : taken).count();
        clock.advance(way.down);
        p.received = clock.wallNow();
        if (way.bareAnswered) {
            p.transport = way.up + way.down;
        }
        return Result<DateProbe>(p);
    };
}

// Wherever the mall stamps its Date, the arrival bound's upper end is never below the truth
// (a send there is never early), and where the transport's round trip is known it is no
// further above it than the work the mall may have done.
TEST(ClockSync, WorkTimeNeverMakesTheAimEarly) {
    struct Case {
        const char* what;
        Way way;
        double latestMs;  // how far above the truth the upper end may lie
    };
    const Case cases[] = {
        {"no work", {ms(15), ms(0), ms(15)}, 1},
        {"no work, one way long", {ms(30), ms(0), ms(5)}, 1},
        {"work, dated on arrival", {ms(15), ms(30), ms(15)}, 31},
        {"work, dated on departure", {ms(15), ms(30), ms(15), true}, 1},
        {"work, dated on departure, other way long", {ms(5), ms(30), ms(30), true}, 1},
        {"no bare answer: the whole trip counts as work",
         {ms(15), ms(30), ms(15), true, false},
         61},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const double aheadMs : {-1250.0, 400.0}) {
            MockClock clock(Clock::WallTime(seconds(1700000000) + microseconds(123457)));
            const nanoseconds ahead = ms(aheadMs);
            auto got = estimateOffset(workingMall(clock, ahead, c.way), clock);
            ASSERT_TRUE(got.ok()) << got.error().message;
            const nanoseconds arrival = ahead - c.way.up;
            EXPECT_LT(got->arrivalLower, arrival) << aheadMs;
            EXPECT_GE(got->arrivalUpper, arrival) << aheadMs;
            EXPECT_LE(got->arrivalUpper - arrival, ms(c.latestMs)) << aheadMs;
            // The offset bound holds whatever the work.
            EXPECT_LE(got->lower, ahead);
            EXPECT_GE(got->upper, ahead);
        }
    }
}

// Probes that fail, come from a cache or carry a Date far from our clock are set aside; the
// estimate rests on the rest, and fails only when nothing is left.
TEST(ClockSync, UnusableRepliesAreSetAside) {
    const std::int64_t now = 1700000000;
    struct Case {
        const char* what;
        std::function<Result<DateProbe>(DateProbe)> spoil;
        const char* said;  // in the log line when no good prober is beside it
    };
    const Case cases[] = {
        {"fails",
         [](DateProbe) { return Result<DateProbe>(makeError(ErrorCode::Transfer, "reset")); },
         "reset"},
        {"cached a minute ago",
         [now](DateProbe p) {
             p.dateSeconds = now - 60;
             p.cached = true;
             return Result<DateProbe>(p);
         },
         "缓存"},
        {"dated 1970",
         [](DateProbe p) {
             p.dateSeconds = 0;
             return Result<DateProbe>(p);
         },
         "不可信"},
        {"dated 9999",
         [](DateProbe p) {
             p.dateSeconds = 253402300799;
             return Result<DateProbe>(p);
         },
         "不可信"},
        {"dated two hours ahead",
         [now](DateProbe p) {
             p.dateSeconds = now + 7200;
             return Result<DateProbe>(p);
         },
         "不可信"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            // Beside a good prober (which alone moves the clock): the good one serves.
            MockClock clock(Clock::WallTime(seconds(now) + microseconds(123457)));
            const nanoseconds ahead = ms(400);
            const Way way{ms(15), ms(0), ms(15)};
            DateProber good = workingMall(clock, ahead, way);
            DateProber bad = [&clock, &c](std::optional<Clock::WallTime>) {
                DateProbe p;
                p.sent = p.received = clock.wallNow();
                p.dateSeconds =
                    std::chrono::floor<seconds>(clock.wallNow().time_since_epoch()).count();
                return c.spoil(p);
            };
            const std::vector<DateProber> probers{good, bad};
            auto got = estimateOffset(probers, clock);
            ASSERT_TRUE(got.ok()) << got.error().message;
            EXPECT_GE(got->arrivalUpper, ahead - way.up);
            EXPECT_LT(got->arrivalLower, ahead - way.up);
            EXPECT_GE(got->failed, 1);
        }
        {
            MockClock clock{Clock::WallTime(seconds(now))};
            DateProber bad = [&clock, &c](std::optional<Clock::WallTime>) {
                DateProbe p;
                p.sent = p.received = clock.wallNow();
                p.dateSeconds =
                    std::chrono::floor<seconds>(clock.wallNow().time_since_epoch()).count();
                clock.advance(milliseconds(1));
                return c.spoil(p);
            };
            auto got = estimateOffset(bad, clock);
            ASSERT_FALSE(got.ok());
            const std::string line = offsetLine(got);
            EXPECT_NE(line.find(c.said), std::string::npos) << line;
            EXPECT_NE(line.find("定时按本机时钟"), std::string::npos) << line;
        }
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

}  // namespace
}  // namespace vellicor::mall
