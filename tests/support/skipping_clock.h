#pragma once
// A mock clock whose sleeps take no real time: each one moves the clock on to its deadline and
// returns. Code that paces itself by sleeping (retry pauses) runs through at once, in the same
// order as on the real clock; what it waits for without sleeping (a time-out it checks as it
// goes) comes only when the test moves the clock.

#include <algorithm>
#include <mutex>

#include "platform/clock.h"

namespace vellicor::test {

class SkippingClock final : public Clock {
  public:
    SkippingClock() : inner_(std::chrono::system_clock::now()) {}
    WallTime wallNow() const override { return inner_.wallNow(); }
    Steady steadyNow() const override { return inner_.steadyNow(); }
    int utcOffsetSeconds(WallTime at) const override { return inner_.utcOffsetSeconds(at); }
    void sleepUntil(Steady deadline) const override { skipTo(deadline); }
    void sleepUntilOrStop(Steady deadline, std::stop_token) const override { skipTo(deadline); }
    void advance(std::chrono::nanoseconds by) {
        std::lock_guard lock(mutex_);
        inner_.advance(by);
    }

  private:
    void skipTo(Steady deadline) const {
        std::lock_guard lock(mutex_);
        const auto now = inner_.steadyNow();
        inner_.advance(std::max(deadline - now, Steady::duration::zero()));
    }
    mutable std::mutex mutex_;  // a move is read and made at once
    mutable MockClock inner_;
};

}  // namespace vellicor::test
