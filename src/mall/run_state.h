#pragma once
// What one exchange run shares with its handle, and what the run's course and its ways
// share about each item and each worker. Nothing outside the exchange run and its tests
// includes this.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mall/exchange_run.h"
#include "web/h2_connection.h"
#include "web/page_request.h"

namespace vellicor::mall {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

class RunTransport;

// Connections still opening this close to the instant are given up: cleaning up after them
// at the last moment would hold back the first request.
inline constexpr auto kLateConnect = milliseconds(50);

struct ExchangeRun::State {
    RunPlan plan;
    Config config;
    const Clock* clock = nullptr;
    LogSink log;
    Done done;
    RunOptions options;

    // Made before the thread and kept as long as the state, so cancel() may always wake it.
    std::unique_ptr<RunTransport> transport;
    std::atomic<bool> cancelRequested{false};
    // Waiting → Fired or Waiting → Cancelled, once: a run cancelled before its instant is
    // sure to send nothing, so another may take its place at once.
    enum Phase { Waiting, Fired, Cancelled };
    std::atomic<int> phase{Waiting};
    std::atomic<Clock::Steady::rep> fireAtTicks{0};
    // Once the engine has read its instant for the last time a retime is no longer followed,
    // and says so. Taken under one lock, so that the two never cross.
    std::mutex fireMutex;
    bool fireFixed = false;

    Clock::Steady fixFireAt() {
        std::lock_guard lock(fireMutex);
        fireFixed = true;
        return Clock::Steady(Clock::Steady::duration(fireAtTicks.load()));
    }
    bool moveFireAt(Clock::Steady to) {
        std::lock_guard lock(fireMutex);
        if (fireFixed || phase.load() != Waiting) {
            return false;
        }
        fireAtTicks.store(to.time_since_epoch().count());
        return true;
    }

    // Ends the run soon; before its instant, it is sure to send nothing.
    void cancel();

    bool claimFire() {
        int expected = Waiting;
        return phase.compare_exchange_strong(expected, Fired) || expected == Fired;
    }
    std::atomic<bool> ended{false};
    std::thread thread;
    std::mutex joinMutex;
    mutable std::mutex summaryMutex;
    RunSummary summary;

    State();
    ~State();
};

// A run's state as ExchangeRun::start makes it, its thread not started: the run's course
// (Engine) runs on it. The clock must outlive it.
std::shared_ptr<ExchangeRun::State> makeRunState(RunPlan plan, const Config& config,
                                                 const Clock& clock, LogSink log,
                                                 ExchangeRun::Done done, RunOptions options);

// An item's request for one account in every form a way writes it, carrying that account's
// session only. Made before the instant and left alone after: ways keep pointers into it.
struct ItemRequest {
    web::PageRequest page;  // for libcurl's transfers; its url names the item's address
    std::string bytes;      // as written on a connection of the run's own; empty if it cannot be
    web::H2Request h2;      // as HTTP/2 fields; an empty path if it cannot be
};

// What every way and the run's course know of a worker; each way keeps the rest.
struct Worker {
    std::size_t item = 0;     // in the plan's items
    std::size_t account = 0;  // in the plan's sending accounts
    std::size_t slot = 0;     // its request: the item's for its account
    int number = 0;
    int attempts = 0;
    Clock::Steady firstSend{};
    Outcome last;       // the answer that made it wait for a retry
    int throttled = 0;  // "too many requests" answers so far
    bool ended = false;
};

}  // namespace vellicor::mall
