#pragma once
// Waiting for what gives no signal to wait on (a program's log file, the simulator's request
// log, a device a thread of the code under test closes): the condition is looked at every few
// milliseconds, up to a bound that is reached only when something is wrong. The caller says
// what it waited for in its assertion.

#include <poll.h>

#include <chrono>
#include <functional>

namespace vellicor::test {

// Long enough for a loaded two-core machine running tests side by side; a wait that reaches
// it has found a fault, not a slow machine.
inline constexpr std::chrono::milliseconds kWaitBound{30000};

// Whether `done` came to hold within `bound`.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds bound = kWaitBound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::poll(nullptr, 0, 5);
    }
}

}  // namespace vellicor::test
