#pragma once
// When a timed run writes its first request. The mall decides "open or not yet" by its own
// clock when a request reaches it, so the set time is read on the mall's clock and the way
// there is sent ahead of: the first request reaches the mall just after the opening, and none
// before it.

#include <string>

#include "mall/clock_sync.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/result.h"
#include "schedule/time_of_day.h"

namespace vellicor::mall {

struct FiringAim {
    Clock::Steady fireAt;     // when the first request is written (now, when already past)
    Clock::WallTime sendAt;   // the same moment on the computer's wall clock
    Clock::WallTime opening;  // the set second's start, as the mall's clock reads it
    std::string line;         // the arming log line, "\r\n" at its end
};

// `estimate` is the mall's clock as read for this arming (timerEstimate); an error, or
// `timer.server_clock` off, keeps to the computer's clock. The set time is today's while its
// second is under way on the mall's clock (schedule::nextShowing). With `timer.aim = arrival`
// the first request leaves at the upper end of the arrival bound plus `timer.arrival_margin_ms`
// past the opening; with `send` when the upper end of the offset bound says the mall's clock
// shows the set second.
FiringAim aimFiring(const Config& config, const Clock& clock,
                    const Result<OffsetEstimate>& estimate, schedule::TimeOfDay setTime);

}  // namespace vellicor::mall
