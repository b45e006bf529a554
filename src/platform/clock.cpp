#include "platform/clock.h"

#include <algorithm>
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
