#include "schedule/time_of_day.h"

#include <algorithm>
#include <cstdio>

namespace vellicor::schedule {
namespace {

using std::chrono::seconds;
using Days = std::chrono::days;
using LocalDay = std::chrono::time_point<std::chrono::system_clock, Days>;

seconds sinceMidnight(TimeOfDay t) {
    return seconds(t.hour * 3600 + t.minute * 60 + t.second);
}

constexpr seconds kBeijing{kMallUtcOffsetSeconds};

// The instant at which Beijing shows `at` on its day `day` (counted like UTC days).
Clock::WallTime occurrenceOn(LocalDay day, TimeOfDay at) {
    return day + sinceMidnight(at) - kBeijing;
}

}  // namespace

TimeOfDay localTimeOfDay(Clock::WallTime at, int utcOffsetSeconds) {
    const auto local = std::chrono::floor<seconds>(at) + seconds(utcOffsetSeconds);
    const auto inDay = local - std::chrono::floor<Days>(local);
    const auto total = static_cast<int>(inDay.count());
    return {total / 3600, total / 60 % 60, total % 60};
}

TimeOfDay beijingTimeOfDay(Clock::WallTime at) {
    return localTimeOfDay(at, kMallUtcOffsetSeconds);
}

Clock::WallTime nextShowing(TimeOfDay at, const Clock& clock,
                            std::chrono::nanoseconds referenceAhead) {
    const auto ahead = std::chrono::duration_cast<Clock::WallTime::duration>(referenceAhead);
    const Clock::WallTime now = clock.wallNow() + ahead;
    const LocalDay today = std::chrono::floor<Days>(now + kBeijing);
    Clock::WallTime target = occurrenceOn(today, at);
    if (target + seconds(1) <= now) {
        target = occurrenceOn(today + Days(1), at);
    }
    return target;
}

Clock::WallTime nextOccurrence(TimeOfDay at, const Clock& clock,
                               std::chrono::nanoseconds referenceAhead) {
    return nextShowing(at, clock, referenceAhead) -
           std::chrono::duration_cast<Clock::WallTime::duration>(referenceAhead);
}

std::string formatTimeOfDay(TimeOfDay time) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", time.hour, time.minute, time.second);
    return text;
}

Countdown countdown(TimeOfDay set, TimeOfDay now) {
    Countdown c;
    c.hours = set.hour - now.hour;
    c.minutes = set.minute - now.minute;
    c.seconds = set.second - now.second;
    c.hourBar = std::clamp(c.hours, 0, 12);
    c.minuteBar = std::clamp(c.minutes, 0, 59);
    c.secondBar = std::clamp(c.seconds, 0, 59);
    return c;
}

std::string countdownText(const Countdown& c) {
    return std::to_string(c.hours) + ":" + std::to_string(c.minutes) + ":" +
           std::to_string(c.seconds);
}

Result<TimeOfDay> parseTimeOfDay(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    int parts[3] = {0, 0, 0};
    int part = 0;
    int digits = 0;
    for (char c : text) {
        if (c == ':' && digits > 0 && part < 2) {
            ++part;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 2) {
            parts[part] = parts[part] * 10 + (c - '0');
            ++digits;
        } else {
            digits = -1;
            break;
        }
    }
    if (part != 2 || digits <= 0 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) {
        return makeError(ErrorCode::BadInput,
                         "时间“" + std::string(text) + "”不是 时:分:秒（00:00:00 到 23:59:59）");
    }
    return TimeOfDay{parts[0], parts[1], parts[2]};
}

}  // namespace vellicor::schedule
