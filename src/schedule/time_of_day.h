#pragma once
// Times of day in the mall's zone: where the next occurrence of a set time lies, and the
// countdown the timer group shows. Sales open at Beijing times, whatever zone the computer
// is set to and whatever its clock changes in summer: every set time, countdown and clock the
// tool shows is Beijing time (UTC+8, which keeps no summer time).

#include <chrono>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/result.h"

namespace vellicor::schedule {

inline constexpr int kMallUtcOffsetSeconds = 8 * 3600;

struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool operator==(const TimeOfDay&) const = default;
};

// The time of day a wall instant shows on a clock that is utcOffsetSeconds ahead of UTC.
TimeOfDay localTimeOfDay(Clock::WallTime at, int utcOffsetSeconds);

// The time of day a wall instant shows in Beijing.
TimeOfDay beijingTimeOfDay(Clock::WallTime at);

// The one rule by which both front ends read a set time: the start of the next second at
// which the reference clock shows the Beijing time of day `at`, as it reads it. The
// reference clock runs `referenceAhead` ahead of the computer's: zero for the computer's own
// clock, the estimated offset for the mall's. A time whose second is under way is still
// today's (its start has just passed: a run aimed at it goes at once); a time whose second has
// ended is tomorrow's.
Clock::WallTime nextShowing(TimeOfDay at, const Clock& clock,
                            std::chrono::nanoseconds referenceAhead = {});

// The same instant on the computer's clock.
Clock::WallTime nextOccurrence(TimeOfDay at, const Clock& clock,
                               std::chrono::nanoseconds referenceAhead = {});

// "12:00:00".
std::string formatTimeOfDay(TimeOfDay time);

// "H:M:S", one or two digits each, blanks around forgiven: the one reading of a set time for
// the command line, the simulator's scenario and the window's fields alike.
Result<TimeOfDay> parseTimeOfDay(std::string_view text);

// The countdown as the timer group shows it: each unit the plain difference of set and
// current unit, so a unit may be negative while the whole is still ahead (the notice tells the
// user that this is normal); each bar the difference clamped to its bar's range.
struct Countdown {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int hourBar = 0;    // 0..12
    int minuteBar = 0;  // 0..59
    int secondBar = 0;  // 0..59
    bool operator==(const Countdown&) const = default;
};
Countdown countdown(TimeOfDay set, TimeOfDay now);
// "1:-59:-40": the three differences as they stand.
std::string countdownText(const Countdown& c);

}  // namespace vellicor::schedule
