#pragma once
// The timer group's logic: the three time fields, arming with "定", the countdown the group
// shows, and the start of one exchange run when the clock reaches the set time.

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/services.h"
#include "schedule/scheduler.h"
#include "schedule/time_field.h"
#include "schedule/time_of_day.h"

namespace vellicor::schedule {

inline constexpr const char* kNotArmedText = "未定时";        // 标签10 at start and when idle
inline constexpr const char* kArmedText = "已定时";           // 标签10 while armed
inline constexpr const char* kRemainingCaption = "剩余时间";  // 标签11 when idle

struct AimedInstant {
    Clock::WallTime instant;
    std::string line;          // for the log, "\r\n" at its end
    bool onMallClock = false;  // read on the mall's clock, not the computer's
    // The set second had ended on the mall's clock: the arming is refused.
    bool passed = false;
};

// A run armed more than kAimAgainIfAhead ahead reads the mall's clock again kAimAgainBefore
// the instant: a clock estimated hours ahead may have drifted since.
inline constexpr std::chrono::seconds kAimAgainIfAhead{60};
inline constexpr std::chrono::seconds kAimAgainBefore{20};

struct TimerHooks {
    // Starts one exchange run with the items ticked and the thread count of that moment.
    // Called on the scheduler's thread at the instant: it must hand over, not block.
    std::function<void()> startRun;
    // Optional: called on the scheduler's thread at instant − lead, before startRun.
    std::function<void(Clock::WallTime instant)> prepareRun;
    // Optional: asks the mall whether the sessions hold. Called once per arming on a thread
    // of its own, so that a slow mall neither blocks the window nor delays the firing.
    std::function<void()> sessionCheck;
    // Optional: when, on the computer's clock, to fire for the set second `opening` (Beijing
    // time on the day fixed at arming, as the mall's clock reads it) so that the requests
    // reach the mall as it opens, with the log line that says so; empty keeps the computer's
    // clock. Called on a thread of its own (it may probe the mall for seconds, within the
    // time left): once at arming, and again kAimAgainBefore the instant when armed more than
    // kAimAgainIfAhead ahead. When it answers, the armed instant moves there (an answer after
    // the firing is dropped: the firing says so); one that the set second has passed disarms.
    std::function<std::optional<AimedInstant>(TimeOfDay setTime, Clock::WallTime opening)> aimAt;
    // Optional: the armed instant moved after it was armed (the answer above came in), called
    // on that answer's thread; a run already prepared for the old instant must follow it.
    std::function<void(Clock::WallTime instant)> moved;
    // Optional: the arming was refused after the fact (the set second had passed on the
    // mall's clock by the time it was read), with the line already logged; called on the
    // answer's thread, after the timer disarmed.
    std::function<void(const std::string& line)> refused;
    // Receives the scheduler's log lines (from the window's and from other threads).
    LogSink log;
};

// What the timer group shows: 标签10, 标签11, the three bars.
struct TimerDisplay {
    std::string stateText;
    std::string countdownText;
    Countdown countdown;
};

struct ArmOutcome {
    TimeOfDay time;
    Clock::WallTime instant;
    std::array<std::string, 3> fieldTexts;  // the fields as armed: "11", "59", "59"
    TimerDisplay display;
};

class TimedRedemption {
  public:
    TimedRedemption(const Clock& clock, TimerHooks hooks);
    TimedRedemption(const Clock& clock, TimerHooks hooks, Scheduler::Options options);
    // Disarms; waits for a running session check (bounded by the request's time-outs).
    ~TimedRedemption();

    // The user changed a field's content. The window puts replaceText into the field
    // (without raising another change) and shows the warning as a message box titled with
    // the field's word.
    FieldChange fieldEdited(Field field, std::string_view text);

    // "定": arms the time the fields hold, replacing any armed time (pressing it again after
    // changing the fields moves the armed time). Writes the scheduler's line to the log and
    // starts the session check. Fields changed later do not move the armed time.
    ArmOutcome arm();
    // The same for a time given otherwise (a command line); the fields show it.
    ArmOutcome arm(TimeOfDay time);
    void disarm();
    // Armed and not fired. Once fired the timer is idle again: a sale opens once, and a run
    // that repeated itself a day later would spend tickets the user no longer meant to.
    bool armed() const;
    // The instant the armed time fires at, on the computer's clock; empty when idle.
    std::optional<Clock::WallTime> armedInstant() const { return scheduler_.instant(); }

    // For each tick of the countdown timer: the display at the current time. Idle, it shows
    // the texts of the start and empty bars.
    TimerDisplay display() const;

    TimeOfDay fieldTime() const;
    const TimeField& timeField(Field field) const;

  private:
    void startSessionCheck();
    void startClockCheck(TimeOfDay time, Clock::WallTime opening);
    void startAimAgain(TimeOfDay time, Clock::WallTime opening);
    void applyAim(const AimedInstant& aimed, unsigned generation, bool again);
    bool waitForWall(Clock::WallTime until, const std::stop_token& stop) const;
    void startBackground(std::function<void()> work);
    TimeField& fieldFor(Field field);

    const Clock& clock_;
    TimerHooks hooks_;
    std::array<TimeField, 3> fields_;
    mutable std::mutex mutex_;
    TimeOfDay armedTime_;
    struct Check {
        std::shared_ptr<std::atomic<bool>> done;
        std::thread thread;
    };
    std::vector<Check> checks_;
    std::atomic<unsigned> armings_{0};  // which arming a clock answer belongs to
    std::stop_source armingStop_;       // wakes the current arming's wait for its second aim
    bool firstOnMallClock_ = false;     // the current arming's first aim read the mall's clock
    Scheduler scheduler_;               // last: its threads end before the hooks they call go away
};

// The scheduler's line: "启动定时程序, 11:59:59 执行兑换\r\n".
inline constexpr const char* kAimTooLateLine = "商城时钟读数来得太晚，本次请求已按本机时钟发出\r\n";
inline constexpr const char* kAimAgainFailedLine = "再次读取商城时钟未成功，仍按先前的读数发出\r\n";
std::string armingLine(TimeOfDay time);

}  // namespace vellicor::schedule
