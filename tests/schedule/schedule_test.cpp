#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "schedule/scheduler.h"
#include "schedule/time_field.h"
#include "schedule/time_of_day.h"
#include "schedule/timed_redemption.h"

namespace vellicor::schedule {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using WallTime = Clock::WallTime;

constexpr int kBeijing = 8 * 3600;

// A wall instant at the given local time of 10 March 2024 on a clock `offset` seconds ahead
// of UTC.
WallTime localAt(int h, int m, int s, milliseconds extra = 0ms, int offset = kBeijing) {
    return sys_days{2024y / March / 10} + hours(h) + minutes(m) + seconds(s) + extra -
           seconds(offset);
}

// Counts events from other threads; a test waits for the n-th one. The limit only keeps a
// broken build from hanging the suite.
class Events {
  public:
    void add() {
        {
            std::lock_guard lock(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }
    ::testing::AssertionResult waitFor(int n) {
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, 20s, [&] { return count_ >= n; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "waited 20 s for event " << n << ", " << count_ << " came";
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// Records call-backs in order, with the mock time they came at.
struct Record {
    std::string what;
    WallTime instant;
    WallTime at;
};
class Recorder {
  public:
    explicit Recorder(const Clock& clock) : clock_(clock) {}
    Scheduler::Callback callback(std::string what) {
        return [this, what](WallTime instant) {
            {
                std::lock_guard lock(mutex_);
                records_.push_back({what, instant, clock_.wallNow()});
            }
            events.add();
        };
    }
    std::vector<Record> records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    Events events;

  private:
    const Clock& clock_;
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

Scheduler::Options mockOptions(Events& waits, nanoseconds lead = 0ns) {
    Scheduler::Options o;
    o.lead = lead;
    o.spin = 0ns;
    o.onWait = [&waits](Clock::Steady) { waits.add(); };
    return o;
}

TEST(TimeFieldRules, EachEditOnAFreshField) {
    struct Case {
        Field field;
        std::string initial;
        std::string typed;
        std::optional<std::string> replace;
        bool outOfRange;
        int value;
    };
    // Out of range, the content stays as typed and the value as it was.
    const std::vector<Case> cases = {
        {Field::Hour, "11", "23", std::nullopt, false, 23},
        {Field::Hour, "11", "0", std::nullopt, false, 0},
        {Field::Hour, "11", "24", "00", false, 0},
        {Field::Hour, "11", "25", std::nullopt, true, 11},
        {Field::Hour, "11", "-", std::nullopt, true, 11},
        {Field::Hour, "11", "-5", std::nullopt, true, 11},
        {Field::Hour, "11", "1a", std::nullopt, true, 11},
        {Field::Hour, "11", "123", std::nullopt, true, 11},
        {Field::Hour, "11", "", std::nullopt, false, 0},
        {Field::Minute, "59", "60", "00", false, 0},
        {Field::Minute, "59", "61", std::nullopt, true, 59},
        {Field::Second, "59", "60", "00", false, 0},
        {Field::Second, "59", "61", std::nullopt, true, 59},
        {Field::Second, "", "70", std::nullopt, true, 0},
    };
    for (const auto& tc : cases) {
        TimeField f(tc.field, tc.initial);
        const FieldChange change = f.edited(tc.typed);
        EXPECT_EQ(change.replaceText, tc.replace) << tc.typed;
        EXPECT_EQ(change.outOfRange.has_value(), tc.outOfRange) << tc.typed;
        EXPECT_EQ(f.outOfRange().has_value(), tc.outOfRange) << tc.typed;
        EXPECT_EQ(f.value(), tc.value) << tc.typed;
        if (change.outOfRange) {
            EXPECT_EQ(change.outOfRange->caption, fieldWord(tc.field));
            EXPECT_EQ(change.outOfRange->text, rangeText(tc.field));
        }
    }
    const auto hour = TimeField(Field::Hour, "11").edited("25").outOfRange.value();
    EXPECT_EQ(hour.caption, "小时");
    EXPECT_EQ(hour.text, "输入范围 0 - 23,24 即为 0");
    const auto minute = TimeField(Field::Minute, "59").edited("61").outOfRange.value();
    EXPECT_EQ(minute.caption, "分钟");
    EXPECT_EQ(minute.text, "输入范围 0 - 59,60 即为 0");
}

// "61" typed key by key: the field keeps both keys, the value the last valid one, and the
// next edit that is a value mends it.
TEST(TimeFieldRules, AnOutOfRangeValueLosesNoKey) {
    TimeField f(Field::Second, "59");
    EXPECT_FALSE(f.edited("6").replaceText);
    const FieldChange change = f.edited("61");
    EXPECT_FALSE(change.replaceText);
    EXPECT_TRUE(change.outOfRange);
    EXPECT_EQ(f.value(), 6);
    EXPECT_EQ(f.text(), "6");
    const FieldChange mended = f.edited("1");
    EXPECT_FALSE(mended.outOfRange);
    EXPECT_FALSE(f.outOfRange());
    EXPECT_EQ(f.value(), 1);
}

TEST(NextOccurrence, FromElevenInTheMorning) {
    struct Case {
        TimeOfDay set;
        milliseconds nowExtra;
        int offset;
        nanoseconds ahead;
        WallTime expected;
    };
    const std::vector<Case> cases = {
        {{11, 59, 59}, 0ms, kBeijing, 0ns, localAt(11, 59, 59)},
        {{10, 0, 0}, 0ms, kBeijing, 0ns, localAt(10, 0, 0) + 24h},
        {{10, 59, 59}, 0ms, kBeijing, 0ns, localAt(10, 59, 59) + 24h},
        // The set second is under way: still today's, so it fires at once.
        {{11, 0, 0}, 300ms, kBeijing, 0ns, localAt(11, 0, 0)},
        // On a computer in UTC−5 it is already 00:00 of the next day in Beijing.
        {{12, 0, 0}, 0ms, -5 * 3600, 0ns, localAt(12, 0, 0) + 24h},
        // The mall's clock is 1.5 s ahead: its 11:00:05 is 11:00:03.5 here.
        {{11, 0, 5}, 0ms, kBeijing, 1500ms, localAt(11, 0, 3, 500ms)},
        {{11, 0, 0}, 0ms, kBeijing, -800ms, localAt(11, 0, 0, 800ms)},
    };
    for (const auto& tc : cases) {
        MockClock clock(localAt(11, 0, 0, tc.nowExtra, tc.offset), tc.offset);
        EXPECT_EQ(nextOccurrence(tc.set, clock, tc.ahead), tc.expected)
            << formatTimeOfDay(tc.set) << " offset " << tc.offset;
    }
}

// A clock in Berlin's zone, whose offset changes on 31 March 2024 at 01:00 UTC (02:00 CET
// becomes 03:00 CEST).
class BerlinClock final : public Clock {
  public:
    explicit BerlinClock(WallTime start) : mock_(start, 0) {}
    WallTime wallNow() const override { return mock_.wallNow(); }
    Steady steadyNow() const override { return mock_.steadyNow(); }
    int utcOffsetSeconds(WallTime at) const override {
        return at < sys_days{2024y / March / 31} + 1h ? 3600 : 7200;
    }
    void sleepUntil(Steady deadline) const override { mock_.sleepUntil(deadline); }

  private:
    MockClock mock_;
};

// Sales open at Beijing times: whatever zone the computer is set to and whatever its clock
// does in summer, the set time is read, counted down and shown in Beijing time.
TEST(NextOccurrence, SetTimeIsBeijingTimeInAnyZone) {
    struct Case {
        const char* what;
        std::function<std::unique_ptr<Clock>(WallTime)> clock;
    };
    const Case cases[] = {
        {"UTC", [](WallTime at) { return std::make_unique<MockClock>(at, 0); }},
        {"UTC−5", [](WallTime at) { return std::make_unique<MockClock>(at, -5 * 3600); }},
        {"Berlin", [](WallTime at) { return std::make_unique<BerlinClock>(at); }},
    };
    // Across Berlin's change: the night of 31 March, 02:30 Berlin (not a time there that
    // day) is 08:30 or 09:30 Beijing; each set time is its Beijing instant.
    const WallTime utcNight = sys_days{2024y / March / 31} + 0h + 20min;  // 08:20 Beijing
    struct Set {
        TimeOfDay time;
        WallTime instant;
    };
    const Set sets[] = {
        {{8, 30, 0}, sys_days{2024y / March / 31} + 30min},
        {{9, 30, 0}, sys_days{2024y / March / 31} + 1h + 30min},
        {{8, 20, 12}, utcNight + 12s},
        {{8, 19, 0}, sys_days{2024y / April / 1} + 19min},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto clock = c.clock(utcNight);
        for (const auto& set : sets) {
            EXPECT_EQ(nextOccurrence(set.time, *clock), set.instant) << formatTimeOfDay(set.time);
        }
        EXPECT_EQ(beijingTimeOfDay(clock->wallNow()), (TimeOfDay{8, 20, 0}));
    }
}

TEST(NextOccurrence, AcrossMidnight) {
    MockClock clock(localAt(23, 59, 59, 500ms));
    EXPECT_EQ(nextOccurrence({0, 0, 0}, clock), localAt(24, 0, 0));
    EXPECT_EQ(localTimeOfDay(localAt(24, 0, 0), kBeijing), (TimeOfDay{0, 0, 0}));
    EXPECT_EQ(localTimeOfDay(localAt(23, 59, 59, 999ms), kBeijing), (TimeOfDay{23, 59, 59}));
}

TEST(Countdown, SeparateDifferencesAndClampedBars) {
    struct Case {
        TimeOfDay set, now;
        Countdown expected;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{11, 59, 59}, {10, 30, 45}, {1, 29, 14, 1, 29, 14}, "1:29:14"},
        {{11, 0, 10}, {10, 59, 50}, {1, -59, -40, 1, 0, 0}, "1:-59:-40"},
        {{8, 0, 0}, {22, 0, 0}, {-14, 0, 0, 0, 0, 0}, "-14:0:0"},
        {{23, 59, 59}, {0, 0, 0}, {23, 59, 59, 12, 59, 59}, "23:59:59"},
    };
    for (const auto& tc : cases) {
        const Countdown c = countdown(tc.set, tc.now);
        EXPECT_EQ(c, tc.expected) << tc.text;
        EXPECT_EQ(countdownText(c), tc.text);
    }
}

class SchedulerOnMockClock : public ::testing::Test {
  protected:
    MockClock clock{localAt(11, 0, 0)};
    Events waits;
    Recorder recorder{clock};
};

TEST_F(SchedulerOnMockClock, FiresOnceAtTheInstantAndNotBefore) {
    const WallTime instant = localAt(11, 0, 10);
    {
        Scheduler s(clock, mockOptions(waits));
        s.arm(instant, {}, recorder.callback("fire"));
        ASSERT_TRUE(waits.waitFor(1));
        clock.advance(10s - 1ms);
        ASSERT_TRUE(waits.waitFor(2));
        EXPECT_EQ(recorder.events.count(), 0);
        EXPECT_TRUE(s.armed());
        clock.advance(1ms);
        ASSERT_TRUE(recorder.events.waitFor(1));
        EXPECT_FALSE(s.armed());
        EXPECT_FALSE(s.instant());
        clock.advance(24h);
    }
    const auto records = recorder.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].instant, instant);
    EXPECT_EQ(records[0].at, instant);
}

TEST_F(SchedulerOnMockClock, PrepareComesTheLeadBeforeTheFiring) {
    const WallTime instant = localAt(11, 0, 10);
    Scheduler s(clock, mockOptions(waits, 3s));
    s.arm(instant, recorder.callback("prepare"), recorder.callback("fire"));
    ASSERT_TRUE(waits.waitFor(1));
    clock.advance(7s - 1ms);
    ASSERT_TRUE(waits.waitFor(2));
    EXPECT_EQ(recorder.events.count(), 0);
    clock.advance(1ms);
    ASSERT_TRUE(recorder.events.waitFor(1));
    clock.advance(3s);
    ASSERT_TRUE(recorder.events.waitFor(2));
    const auto records = recorder.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].what, "prepare");
    EXPECT_EQ(records[0].at, instant - 3s);
    EXPECT_EQ(records[1].what, "fire");
    EXPECT_EQ(records[1].at, instant);
}

TEST_F(SchedulerOnMockClock, DisarmAndRearmLeaveOnlyTheLastArming) {
    {
        Scheduler s(clock, mockOptions(waits));
        s.arm(localAt(11, 0, 10), {}, recorder.callback("first"));
        s.arm(localAt(11, 0, 20), {}, recorder.callback("second"));
        s.arm(localAt(11, 0, 30), {}, recorder.callback("cancelled"));
        s.disarm();
        EXPECT_FALSE(s.armed());
        s.arm(localAt(11, 0, 40), {}, recorder.callback("last"));
        clock.advance(1h);
        ASSERT_TRUE(recorder.events.waitFor(1));
    }
    const auto records = recorder.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].what, "last");
}

TEST_F(SchedulerOnMockClock, RetargetMovesTheArmedInstant) {
    Scheduler s(clock, mockOptions(waits));
    s.arm(localAt(12, 0, 0), {}, recorder.callback("fire"));
    s.retarget(localAt(11, 0, 5));
    EXPECT_EQ(s.instant(), localAt(11, 0, 5));
    ASSERT_TRUE(waits.waitFor(1));
    clock.advance(5s);
    ASSERT_TRUE(recorder.events.waitFor(1));
    EXPECT_EQ(recorder.records()[0].at, localAt(11, 0, 5));
}

TEST_F(SchedulerOnMockClock, SystemClockSetForwardAfterArming) {
    Scheduler s(clock, mockOptions(waits));
    s.arm(localAt(12, 0, 0), {}, recorder.callback("fire"));
    ASSERT_TRUE(waits.waitFor(1));
    // The user corrects the computer's clock by 59 minutes 50 seconds.
    clock.setWall(localAt(11, 59, 50));
    clock.advance(100ms);  // the sleep under way ends
    ASSERT_TRUE(waits.waitFor(2));
    EXPECT_EQ(recorder.events.count(), 0);
    clock.advance(10s);
    ASSERT_TRUE(recorder.events.waitFor(1));
    EXPECT_EQ(recorder.records()[0].at, localAt(12, 0, 0, 100ms));
}

// The mock clock, noting where each of the scheduler's sleeps was to end.
class SleepNotingClock final : public Clock {
  public:
    explicit SleepNotingClock(MockClock& inner) : inner_(inner) {}
    WallTime wallNow() const override { return inner_.wallNow(); }
    Steady steadyNow() const override { return inner_.steadyNow(); }
    int utcOffsetSeconds(WallTime at) const override { return inner_.utcOffsetSeconds(at); }
    void sleepUntil(Steady deadline) const override {
        note(deadline);
        inner_.sleepUntil(deadline);
    }
    void sleepUntilOrStop(Steady deadline, std::stop_token stop) const override {
        note(deadline);
        inner_.sleepUntilOrStop(deadline, stop);
    }
    std::vector<Steady> sleeps() const {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }
    Events slept;

  private:
    void note(Steady deadline) const {
        {
            std::lock_guard lock(mutex_);
            sleeps_.push_back(deadline);
        }
        const_cast<Events&>(slept).add();
    }
    MockClock& inner_;
    mutable std::mutex mutex_;
    mutable std::vector<Steady> sleeps_;
};

// The firing of a run prepared at the lead comes at the instant without a spin of its own:
// the run spins for its instant, and a second thread spinning beside it would take a
// processor from it. Without a prepared run, the firing itself is the run's start and spins.
TEST(SchedulerSpin, OnlyWhenNoRunWasPrepared) {
    for (const bool prepared : {false, true}) {
        SCOPED_TRACE(prepared ? "prepared at the lead" : "nothing prepared");
        MockClock mock(localAt(11, 0, 0));
        SleepNotingClock clock(mock);
        Recorder recorder(clock);
        Scheduler::Options options;
        options.lead = 3s;
        options.spin = 2ms;
        options.slice = 1h;  // one sleep to the lead, one to the instant
        Scheduler s(clock, options);
        const Clock::Steady instant = mock.steadyNow() + 10s;
        s.arm(localAt(11, 0, 10), prepared ? recorder.callback("prepare") : Scheduler::Callback{},
              recorder.callback("fire"));
        ASSERT_TRUE(clock.slept.waitFor(1));
        if (prepared) {
            mock.advance(7s);
            ASSERT_TRUE(recorder.events.waitFor(1));
            ASSERT_TRUE(clock.slept.waitFor(2));
        }
        const Clock::Steady lastSleep = clock.sleeps().back();
        EXPECT_EQ(lastSleep, prepared ? instant : instant - 2ms);
        mock.advance(instant - mock.steadyNow());
        ASSERT_TRUE(recorder.events.waitFor(prepared ? 2 : 1));
        EXPECT_EQ(recorder.records().back().what, "fire");
    }
}

TEST(SchedulerOnSystemClock, NeverFiresBeforeTheInstant) {
    const Clock& clock = SystemClock::instance();
    Recorder recorder(clock);
    Scheduler s(clock);
    const WallTime instant = clock.wallNow() + 30ms;
    s.arm(instant, {}, recorder.callback("fire"));
    ASSERT_TRUE(recorder.events.waitFor(1));
    ASSERT_EQ(recorder.records().size(), 1u);
    EXPECT_GE(recorder.records()[0].at, instant);
}

class TimedRedemptionTest : public ::testing::Test {
  protected:
    TimerHooks hooks() {
        TimerHooks h;
        h.startRun = [this] { runs.add(); };
        h.sessionCheck = [this] { checks.add(); };
        h.log = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            log.push_back(line);
            logged.add();
        };
        return h;
    }
    std::vector<std::string> logLines() {
        std::lock_guard lock(mutex);
        return log;
    }

    MockClock clock{localAt(11, 0, 0)};
    Events waits, runs, checks, logged;
    std::mutex mutex;
    std::vector<std::string> log;
};

TEST_F(TimedRedemptionTest, DefaultsArmedFireOnceAtElevenFiftyNineFiftyNine) {
    TimedRedemption timer(clock, hooks(), mockOptions(waits));
    EXPECT_EQ(timer.display().stateText, "未定时");
    const ArmOutcome armed = timer.arm();
    EXPECT_EQ(armed.instant, localAt(11, 59, 59));
    EXPECT_EQ(armed.display.stateText, "已定时");
    EXPECT_EQ(armed.display.countdownText, "0:59:59");
    EXPECT_EQ(armed.display.countdown.minuteBar, 59);
    ASSERT_TRUE(checks.waitFor(1));
    ASSERT_TRUE(waits.waitFor(1));
    clock.advance(59min + 59s - 1ms);
    ASSERT_TRUE(waits.waitFor(2));
    EXPECT_EQ(runs.count(), 0);
    clock.advance(1ms);
    ASSERT_TRUE(runs.waitFor(1));
    EXPECT_FALSE(timer.armed());
    EXPECT_EQ(timer.display().stateText, "未定时");
    EXPECT_EQ(timer.display().countdownText, "剩余时间");
    EXPECT_EQ(logLines(), std::vector<std::string>{"启动定时程序, 11:59:59 执行兑换\r\n"});
}

TEST_F(TimedRedemptionTest, WrappedAndEmptyFieldsArmAsZero) {
    TimedRedemption timer(clock, hooks(), mockOptions(waits));
    EXPECT_EQ(timer.fieldEdited(Field::Hour, "24").replaceText, "00");
    (void)timer.fieldEdited(Field::Minute, "");
    EXPECT_EQ(timer.fieldEdited(Field::Second, "60").replaceText, "00");
    const ArmOutcome armed = timer.arm();
    EXPECT_EQ(armed.time, (TimeOfDay{0, 0, 0}));
    EXPECT_EQ(armed.instant, localAt(24, 0, 0));
    EXPECT_EQ(armed.fieldTexts, (std::array<std::string, 3>{"00", "00", "00"}));
    EXPECT_EQ(armed.display.countdownText, "-11:0:0");
}

TEST_F(TimedRedemptionTest, PressingAgainMovesTheArmedTime) {
    TimedRedemption timer(clock, hooks(), mockOptions(waits));
    (void)timer.arm();
    (void)timer.fieldEdited(Field::Hour, "11");
    (void)timer.fieldEdited(Field::Minute, "00");
    (void)timer.fieldEdited(Field::Second, "30");
    EXPECT_EQ(timer.arm().instant, localAt(11, 0, 30));
    clock.advance(2h);
    ASSERT_TRUE(runs.waitFor(1));
    EXPECT_EQ(logLines().size(), 2u);
    EXPECT_EQ(logLines()[1], "启动定时程序, 11:00:30 执行兑换\r\n");
}

// The countdown counts to the Beijing set time on a computer in another zone.
TEST_F(TimedRedemptionTest, CountdownInBeijingTimeOnAComputerInUtc) {
    MockClock utc(localAt(11, 0, 0), 0);
    TimedRedemption timer(utc, hooks(), mockOptions(waits));
    const ArmOutcome armed = timer.arm();
    EXPECT_EQ(armed.instant, localAt(11, 59, 59));
    EXPECT_EQ(armed.display.countdownText, "0:59:59");
}

// What the mall's clock says when it answers: the day stays the one armed; a set second that
// has passed on it disarms, said once; a failed second reading leaves the first in force.
class AimedArming : public TimedRedemptionTest {
  protected:
    struct Answer {
        WallTime instant;
        bool onMallClock = true;
        bool passed = false;
    };
    TimerHooks aimedHooks(std::vector<Answer> answers) {
        TimerHooks h = hooks();
        h.aimAt = [this, answers](TimeOfDay, WallTime opening) {
            std::lock_guard lock(mutex);
            openings.push_back(opening);
            const Answer a = answers.at(std::min(asked++, answers.size() - 1));
            return std::optional(AimedInstant{a.instant, a.passed ? "passed\r\n" : "aimed\r\n",
                                              a.onMallClock, a.passed});
        };
        h.moved = [this](WallTime) { moves.add(); };
        h.refused = [this](const std::string&) { refusals.add(); };
        return h;
    }
    Events moves, refusals;
    std::size_t asked = 0;
    std::vector<WallTime> openings;
};

TEST_F(AimedArming, SetSecondPassedOnTheMallsClockDisarms) {
    TimedRedemption timer(clock, aimedHooks({{localAt(11, 59, 59), true, true}}),
                          mockOptions(waits));
    (void)timer.fieldEdited(Field::Hour, "11");
    (void)timer.fieldEdited(Field::Minute, "00");
    (void)timer.fieldEdited(Field::Second, "02");
    (void)timer.arm();
    ASSERT_TRUE(refusals.waitFor(1));
    EXPECT_FALSE(timer.armed());
    EXPECT_EQ(moves.count(), 0);
    EXPECT_EQ(openings, std::vector<WallTime>{localAt(11, 0, 2)});
    clock.advance(25h);
    EXPECT_EQ(runs.count(), 0);
}

TEST_F(AimedArming, ArmedAnHourAheadReadsTheClockAgainBeforeTheInstant) {
    const WallTime firstAim = localAt(11, 59, 59) + 3ms;
    const WallTime secondAim = localAt(11, 59, 59) + 5ms;
    TimedRedemption timer(clock, aimedHooks({{firstAim}, {secondAim}}), mockOptions(waits));
    (void)timer.arm();
    ASSERT_TRUE(moves.waitFor(1));
    EXPECT_EQ(timer.armedInstant(), firstAim);
    clock.advance(59min + 38s);  // 21 s before the instant: not yet
    clock.advance(1s);           // 20 s before it
    ASSERT_TRUE(moves.waitFor(2));
    EXPECT_EQ(timer.armedInstant(), secondAim);
    EXPECT_EQ(openings, (std::vector<WallTime>{localAt(11, 59, 59), localAt(11, 59, 59)}));
    clock.advance(21s);
    ASSERT_TRUE(runs.waitFor(1));
}

TEST_F(AimedArming, FailedSecondReadingKeepsTheFirst) {
    const WallTime firstAim = localAt(11, 59, 59) + 3ms;
    TimedRedemption timer(clock, aimedHooks({{firstAim}, {localAt(11, 59, 59), false}}),
                          mockOptions(waits));
    (void)timer.arm();
    ASSERT_TRUE(moves.waitFor(1));
    const int linesBefore = logged.count();
    clock.advance(59min + 40s);
    ASSERT_TRUE(logged.waitFor(linesBefore + 2));
    EXPECT_EQ(logLines().back(), kAimAgainFailedLine);
    EXPECT_EQ(timer.armedInstant(), firstAim);
    EXPECT_EQ(moves.count(), 1);
}

}  // namespace
}  // namespace vellicor::schedule
