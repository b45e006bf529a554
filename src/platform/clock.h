#pragma once
// The core reads time through a Clock; its network waits (polls, libcurl) run in real time.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace vellicor {

class Clock {
  public:
    using WallTime = std::chrono::system_clock::time_point;
    using Steady = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual WallTime wallNow() const = 0;
    virtual Steady steadyNow() const = 0;
    // Offset of local civil time from UTC at the given instant, in seconds.
    virtual int utcOffsetSeconds(WallTime at) const = 0;
    // Blocks until the steady clock reaches the deadline. A mock clock returns once its
    // time has been advanced past the deadline.
    virtual void sleepUntil(Steady deadline) const = 0;
    // Like sleepUntil, but also returns as soon as a stop is requested, so that a long wait
    // can be called off. The default sleeps in short steps; both clocks below wake at once.
    virtual void sleepUntilOrStop(Steady deadline, std::stop_token stop) const;
};

class SystemClock final : public Clock {
  public:
    WallTime wallNow() const override { return std::chrono::system_clock::now(); }
    Steady steadyNow() const override { return std::chrono::steady_clock::now(); }
    int utcOffsetSeconds(WallTime at) const override;
    void sleepUntil(Steady deadline) const override;
    void sleepUntilOrStop(Steady deadline, std::stop_token stop) const override;
    static const SystemClock& instance();
};

// A clock that moves only when told; sleepers wake when the time passes their deadline.
class MockClock final : public Clock {
  public:
    explicit MockClock(WallTime start, int utcOffset = 8 * 3600);
    WallTime wallNow() const override;
    Steady steadyNow() const override;
    int utcOffsetSeconds(WallTime) const override { return utcOffset_; }
    void sleepUntil(Steady deadline) const override;
    void sleepUntilOrStop(Steady deadline, std::stop_token stop) const override;
    void advance(std::chrono::nanoseconds by);
    void setWall(WallTime to);

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable_any moved_;
    WallTime wall_;
    Steady steady_;
    int utcOffset_;
};

// While one is alive, the calling thread's sleeps end as near their deadline as the kernel
// allows: no timer slack (50 µs by default), and a short scheduling slice asked for, so that
// the thread, woken from its sleep on a busy machine, is put on the processor ahead of
// threads in the middle of long slices (kernels from 6.12 on; older ones ignore the request;
// no privilege is needed). What the thread had is restored at the end. For the last wait
// before an instant and the sends right after it; made and destroyed on the same thread.
class PreciseWakeups {
  public:
    PreciseWakeups();
    ~PreciseWakeups();
    PreciseWakeups(const PreciseWakeups&) = delete;
    PreciseWakeups& operator=(const PreciseWakeups&) = delete;

    // The slice asked for; the kernel's least.
    static constexpr std::chrono::microseconds kSlice{100};

  private:
    long slack_ = -1;  // the thread's timer slack before, in ns; -1 when it could not be read
    bool sliceSet_ = false;
    unsigned long long slice_ = 0;  // the thread's slice before, in ns (0: the kernel's default)
};

}  // namespace vellicor
