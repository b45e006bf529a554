#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace vellicor
