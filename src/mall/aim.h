#pragma once
// When a timed run writes its first request. The mall decides "open or not yet" by its own
// clock when a request reaches it, so the set time is read on the mall's clock and the way
// there is sent ahead of: the first request reaches the mall just after the opening, and none
// before it.

#include <chrono>
#include <optional>
#include <string>

#include "mall/clock_sync.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/result.h"
#include "schedule/time_of_day.h"

namespace vellicor::mall {

struct FiringAim {
    Clock::Steady fireAt;      // when the first request is written (now, when already past)
    Clock::WallTime sendAt;    // the same moment on the computer's wall clock
    Clock::WallTime opening;   // the set second's start, as the mall's clock reads it
    bool onMallClock = false;  // aimed by an estimate of the mall's clock
    // The set second had ended on the mall's clock when the aim was taken: the sale it was
    // set for has opened, and a run now would not be the one the user armed.
    bool passed = false;
    std::string line;  // the arming log line, "\r\n" at its end
    // When the mall's clock (without an estimate, the computer's) shows the opening.
    Clock::Steady openingAt{};
    std::optional<OffsetEstimate> estimate;  // the one aimed by, when onMallClock
};

// `estimate` is the mall's clock as read for this arming (timerEstimate); an error, or
// `timer.server_clock` off, keeps to the computer's clock. `opening` is the set second, fixed
// (day included) when the run was armed, as the mall's clock reads it. With `timer.aim =
// arrival` the first request leaves at the upper end of the arrival bound plus
// `timer.arrival_margin_ms` past the opening; with `send` when the upper end of the offset
// bound says the mall's clock shows the set second.
FiringAim aimFiring(const Config& config, const Clock& clock,
                    const Result<OffsetEstimate>& estimate, Clock::WallTime opening);
// The same for the next showing of `setTime` on the mall's clock (schedule::nextShowing).
FiringAim aimFiring(const Config& config, const Clock& clock,
                    const Result<OffsetEstimate>& estimate, schedule::TimeOfDay setTime);

// Room left between the estimate's end and the opening, for the run to get ready.
inline constexpr std::chrono::seconds kReadyRoom{1};

// The estimate's options for an opening `untilOpening` ahead: the full time budget where it
// fits, else what leaves kReadyRoom; none at all still sends one probe on each connection.
SyncOptions syncOptionsFor(std::chrono::nanoseconds untilOpening);

// Reads the mall's clock in the time that fits before `opening` (the set second on the
// mall's clock, fixed at arming) and aims at it; a short budget is said in the line.
FiringAim aimAtOpening(const Config& config, const Clock& clock, Clock::WallTime opening);

}  // namespace vellicor::mall
