#include "platform/clock.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <thread>

namespace vellicor {

int SystemClock::utcOffsetSeconds(WallTime at) const {
    std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    localtime_r(&t, &local);
    return static_cast<int>(local.tm_gmtoff);
}

void Clock::sleepUntilOrStop(Steady deadline, std::stop_token stop) const {
    constexpr auto step = std::chrono::milliseconds(50);
    while (!stop.stop_requested() && steadyNow() < deadline) {
        sleepUntil(std::min(deadline, steadyNow() + step));
    }
}

void SystemClock::sleepUntil(Steady deadline) const {
    std::this_thread::sleep_until(deadline);
}

void SystemClock::sleepUntilOrStop(Steady deadline, std::stop_token stop) const {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait_until(lock, stop, deadline, [] { return false; });
}

namespace {

// The kernel's sched_attr up to its first version's fields; the C library may not declare it.
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;  // for a fair thread, the slice it asked for
    std::uint64_t deadline;
    std::uint64_t period;
};

bool readAttr(SchedAttr& attr) {
    attr = SchedAttr{};
    return syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0;
}

bool writeAttr(SchedAttr attr) {
    attr.size = sizeof attr;
    return syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
}

}  // namespace

PreciseWakeups::PreciseWakeups() {
    slack_ = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack_ >= 0) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);  // 0 would mean "back to the default"
    }
    // Only a thread of the ordinary classes: one its user put on another keeps it.
    SchedAttr attr{};
    if (readAttr(attr) && (attr.policy == SCHED_OTHER || attr.policy == SCHED_BATCH)) {
        slice_ = attr.runtime;
        attr.runtime = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(kSlice).count());
        sliceSet_ = writeAttr(attr);
    }
}

PreciseWakeups::~PreciseWakeups() {
    SchedAttr attr{};
    if (sliceSet_ && readAttr(attr)) {
        attr.runtime = slice_;
        writeAttr(attr);
    }
    if (slack_ >= 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack_), 0, 0, 0);
    }
}

const SystemClock& SystemClock::instance() {
    static const SystemClock clock;
    return clock;
}

MockClock::MockClock(WallTime start, int utcOffset)
    : wall_(start), steady_(Steady{} + std::chrono::hours(1)), utcOffset_(utcOffset) {}

Clock::WallTime MockClock::wallNow() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

Clock::Steady MockClock::steadyNow() const {
    std::lock_guard lock(mutex_);
    return steady_;
}

void MockClock::sleepUntil(Steady deadline) const {
    std::unique_lock lock(mutex_);
    moved_.wait(lock, [&] { return steady_ >= deadline; });
}

void MockClock::sleepUntilOrStop(Steady deadline, std::stop_token stop) const {
    std::unique_lock lock(mutex_);
    moved_.wait(lock, stop, [&] { return steady_ >= deadline; });
}

void MockClock::advance(std::chrono::nanoseconds by) {
    {
        std::lock_guard lock(mutex_);
        wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(by);
        steady_ += by;
    }
    moved_.notify_all();
}

void MockClock::setWall(WallTime to) {
    std::lock_guard lock(mutex_);
    wall_ = to;
}

}  // namespace vellicor
