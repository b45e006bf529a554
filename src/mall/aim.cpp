#include "mall/aim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vellicor::mall {
namespace {

using std::chrono::nanoseconds;
using WallTime = Clock::WallTime;

std::string millis(nanoseconds value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", std::abs(static_cast<double>(value.count()) / 1e6));
    return buf;
}

nanoseconds marginOf(const TimerSettings& timer) {
    return nanoseconds(std::llround(std::max(0.0, timer.arrivalMarginMs) * 1e6));
}

// How far past the opening (on the mall's clock) the first request leaves.
nanoseconds sendLead(const TimerSettings& timer, const OffsetEstimate& estimate) {
    return timer.aim == TimerAim::Send ? estimate.upper : estimate.arrivalUpper + marginOf(timer);
}

std::string aimLine(const TimerSettings& timer, const OffsetEstimate& estimate) {
    std::string line = offsetWords(estimate) + "，到商城单程约 " +
                       millis(std::max(nanoseconds::zero(), estimate.oneWay())) + " 毫秒，";
    if (timer.aim == TimerAim::Send) {
        return line + "请求在商城时钟到点时发出\r\n";
    }
    // Measured from the moment the mall's clock shows the set time, by the offset's middle.
    const nanoseconds early = estimate.ahead() - sendLead(timer, estimate);
    line += (early >= nanoseconds::zero() ? "请求将提前 " : "请求将推后 ") + millis(early);
    const nanoseconds after = marginOf(timer) + (estimate.arrivalUpper - estimate.arrivalLower) / 2;
    return line + " 毫秒发出，约在开门后 " + millis(after) + " 毫秒到达商城\r\n";
}

}  // namespace

FiringAim aimFiring(const Config& config, const Clock& clock,
                    const Result<OffsetEstimate>& estimate, schedule::TimeOfDay setTime) {
    const TimerSettings& timer = config.timer;
    const bool onMallClock = timer.useServerClock && estimate.ok();
    FiringAim aim;
    aim.opening =
        schedule::nextShowing(setTime, clock, onMallClock ? estimate->mallAhead() : nanoseconds{});
    const nanoseconds lead = onMallClock ? sendLead(timer, *estimate) : nanoseconds{};
    aim.sendAt = aim.opening + std::chrono::duration_cast<WallTime::duration>(lead);
    // Wall first, steady second: time that passes between the two reads makes the send late,
    // never early.
    const WallTime wallNow = clock.wallNow();
    const Clock::Steady steadyNow = clock.steadyNow();
    aim.fireAt = steadyNow + std::max(WallTime::duration::zero(), aim.sendAt - wallNow);
    if (!timer.useServerClock) {
        aim.line = "未启用商城时钟，定时按本机时钟\r\n";
    } else if (!onMallClock) {
        aim.line = offsetLine(estimate);
    } else {
        aim.line = aimLine(timer, *estimate);
    }
    return aim;
}

}  // namespace vellicor::mall
