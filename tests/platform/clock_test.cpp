#include <gtest/gtest.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/clock.h"

namespace vellicor {
namespace {

using namespace std::chrono_literals;

TEST(MockClock, SleeperWakesOnlyWhenTimePassesItsDeadline) {
    MockClock clock(Clock::WallTime{} + 1000h);
    const auto deadline = clock.steadyNow() + 5s;
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        clock.sleepUntil(deadline);
        woke = true;
    });
    clock.advance(4s);
    EXPECT_FALSE(woke.load());
    clock.advance(1s);
    sleeper.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(clock.wallNow(), Clock::WallTime{} + 1000h + 5s);
}

// What PreciseWakeups changes on the calling thread, read back from the kernel.
struct ThreadTiming {
    long slack = -1;
    std::uint32_t policy = 0;
    std::uint64_t slice = 0;  // 0 on kernels that keep no slice of a thread's own
};

ThreadTiming readTiming() {
    struct {
        std::uint32_t size, policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime, deadline, period;
    } attr{};
    ThreadTiming t;
    t.slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0) {
        t.policy = attr.policy;
        t.slice = attr.runtime;
    }
    return t;
}

TEST(PreciseWakeups, SharpWhileHeldAndRestoredAfter) {
    struct Case {
        const char* name;
        unsigned long slack;  // set on the thread first; 0 leaves the default
        int policy;
        bool asksSlice;  // a thread of the ordinary class asks for the short slice
    };
    const Case cases[] = {
        {"default thread", 0, SCHED_OTHER, true},
        {"thread with a slack of its own", 200000, SCHED_OTHER, true},
        {"batch thread", 0, SCHED_BATCH, true},
        {"idle-class thread keeps its class", 0, SCHED_IDLE, false},
    };
    for (const Case& c : cases) {
        ThreadTiming before, during, after;
        // A thread of its own, so that the test's thread is left as it was.
        std::thread([&] {
            if (c.slack != 0) {
                prctl(PR_SET_TIMERSLACK, c.slack, 0, 0, 0);
            }
            sched_param none{};
            sched_setscheduler(0, c.policy, &none);
            before = readTiming();
            {
                PreciseWakeups sharp;
                during = readTiming();
            }
            after = readTiming();
        }).join();
        SCOPED_TRACE(c.name);
        EXPECT_EQ(during.slack, 1);
        EXPECT_EQ(after.slack, before.slack);
        EXPECT_EQ(during.policy, before.policy);
        EXPECT_EQ(after.slice, before.slice);
        // Kernels before 6.12 keep no slice of a thread's own and read it as 0.
        if (c.asksSlice && before.slice != 0) {
            EXPECT_EQ(during.slice, 100000u);
        } else {
            EXPECT_EQ(during.slice, before.slice);
        }
    }
}

}  // namespace
}  // namespace vellicor
