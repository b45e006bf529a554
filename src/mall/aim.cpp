#include "mall/aim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vellicor::mall {
namespace {

using std::chrono::nanoseconds;
using WallTime = Clock::WallTime;

std::string fixed(double value, const char* format) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string millis(nanoseconds value) {
    return fixed(std::abs(static_cast<double>(value.count()) / 1e6), "%.1f");
}

nanoseconds marginOf(const TimerSettings& timer) {
    return nanoseconds(std::llround(std::max(0.0, timer.arrivalMarginMs) * 1e6));
}

// How far past the opening (on the mall's clock) the first request leaves.
nanoseconds sendLead(const TimerSettings& timer, const OffsetEstimate& estimate) {
    return timer.aim == TimerAim::Send ? estimate.upper : estimate.arrivalUpper + marginOf(timer);
}

// The request is taken at its send time less A, and A lies in (arrivalLower, arrivalUpper]:
// sent at the upper end plus the margin past the opening, it reaches the mall no sooner than
// the margin after it, and no later than the bound's width after that.
std::string aimLine(const TimerSettings& timer, const OffsetEstimate& estimate) {
    std::string line = offsetWords(estimate) + "，";
    // Where nothing was answered at once the whole work is in the bound, and the user should
    // know the run may land that late. Below a tenth of a millisecond it is the reading's own
    // grain, not the mall's work.
    if (!estimate.answeredAtOnce()) {
        line += "商城没有即刻应答的地址，处理请求至多 " + millis(estimate.work) +
                " 毫秒，全数算在路上：请求宁迟勿早，";
    } else if (estimate.work >= std::chrono::microseconds(100)) {
        line += "商城处理请求至多 " + millis(estimate.work) + " 毫秒，";
    }
    if (timer.aim == TimerAim::Send) {
        return line + "请求在商城时钟到点时发出\r\n";
    }
    // Measured from the moment the mall's clock shows the set time, by the offset's middle.
    const nanoseconds early = estimate.ahead() - sendLead(timer, estimate);
    line += (early >= nanoseconds::zero() ? "请求将提前 " : "请求将推后 ") + millis(early);
    const nanoseconds soonest = marginOf(timer);
    const nanoseconds latest = soonest + estimate.arrivalWidth();
    return line + " 毫秒发出，首个请求在开门后 " + millis(soonest) + " 至 " + millis(latest) +
           " 毫秒之间到达商城\r\n";
}

std::string passedLine(WallTime opening, WallTime mallNow) {
    const int beijing = schedule::kMallUtcOffsetSeconds;
    return "设定的 " + schedule::formatTimeOfDay(schedule::localTimeOfDay(opening, beijing)) +
           " 已过（商城时钟已是 " +
           schedule::formatTimeOfDay(schedule::localTimeOfDay(mallNow, beijing)) +
           "），本次不兑换\r\n";
}

}  // namespace

FiringAim aimFiring(const Config& config, const Clock& clock,
                    const Result<OffsetEstimate>& estimate, WallTime opening) {
    const TimerSettings& timer = config.timer;
    FiringAim aim;
    aim.onMallClock = timer.useServerClock && estimate.ok();
    aim.opening = opening;
    const nanoseconds mallAhead = aim.onMallClock ? estimate->mallAhead() : nanoseconds{};
    const nanoseconds lead = aim.onMallClock ? sendLead(timer, *estimate) : nanoseconds{};
    aim.sendAt = opening + std::chrono::duration_cast<WallTime::duration>(lead);
    // Wall first, steady second: time that passes between the two reads makes the send late,
    // never early.
    const WallTime wallNow = clock.wallNow();
    const Clock::Steady steadyNow = clock.steadyNow();
    aim.fireAt = steadyNow + std::max(WallTime::duration::zero(), aim.sendAt - wallNow);
    const WallTime mallNow = wallNow + std::chrono::duration_cast<WallTime::duration>(mallAhead);
    aim.openingAt = steadyNow + (opening - mallNow);
    if (aim.onMallClock) {
        aim.estimate = *estimate;
    }
    aim.passed = opening + std::chrono::seconds(1) <= mallNow;
    if (aim.passed) {
        aim.line = passedLine(opening, mallNow);
    } else if (!timer.useServerClock) {
        aim.line = "未启用商城时钟，定时按本机时钟\r\n";
    } else if (!aim.onMallClock) {
        aim.line = offsetLine(estimate);
    } else {
        aim.line = aimLine(timer, *estimate);
    }
    return aim;
}

FiringAim aimFiring(const Config& config, const Clock& clock,
                    const Result<OffsetEstimate>& estimate, schedule::TimeOfDay setTime) {
    const bool onMallClock = config.timer.useServerClock && estimate.ok();
    const WallTime opening =
        schedule::nextShowing(setTime, clock, onMallClock ? estimate->mallAhead() : nanoseconds{});
    return aimFiring(config, clock, estimate, opening);
}

SyncOptions syncOptionsFor(nanoseconds untilOpening) {
    SyncOptions options;
    options.timeBudget =
        std::clamp<nanoseconds>(untilOpening - kReadyRoom, nanoseconds::zero(), options.timeBudget);
    return options;
}

FiringAim aimAtOpening(const Config& config, const Clock& clock, WallTime opening) {
    const nanoseconds untilOpening = opening - clock.wallNow();
    const SyncOptions options = syncOptionsFor(untilOpening);
    const auto estimate = timerEstimate(config, clock, options);
    FiringAim aim = aimFiring(config, clock, estimate, opening);
    if (aim.onMallClock && !aim.passed && options.timeBudget < SyncOptions{}.timeBudget) {
        const auto left = std::chrono::duration<double>(std::max(nanoseconds{}, untilOpening));
        const auto spent = std::chrono::duration<double>(options.timeBudget);
        aim.line = "离开门只剩 " + fixed(left.count(), "%.1f") + " 秒，商城时钟只读了 " +
                   fixed(spent.count(), "%.1f") + " 秒：" + aim.line;
    }
    return aim;
}

}  // namespace vellicor::mall
