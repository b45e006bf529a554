#pragma once
// Getting a timed run ready before its instant: connections to the mall opened (TLS
// handshakes done) and left in the multi handle's pool, and a wake-up that lands on the
// instant itself rather than some scheduler slice after it.
//
// The connections are opened by cheap warm-up requests ("OPTIONS *") on the very multi
// handle the run sends from, all at once so that each takes a connection of its own. The
// run's requests then find them in the pool and only write their bytes. A connection that
// dies before the instant is noticed by libcurl when it is taken from the pool, and the
// request goes out on a fresh one: the worker's outcome is unchanged, only later.

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/config.h"

namespace vellicor::mall {

struct PreopenReport {
    int wanted = 0;
    int opened = 0;  // warm-ups answered: connections now in the pool
    int failed = 0;
};

struct PreopenRequest {
    std::string base;  // scheme://host[:port] of the mall
    int connections = 0;
    HttpSettings http;
    // The proxy of each connection ("" for none), where they differ: connections through
    // different proxies are never one another's. Empty: every one by http.proxy.
    std::vector<std::string> proxies;
    // Applied to every warm-up handle after its set-up (the run's resolved address).
    std::function<void(CURL*)> configure;
    // Warm-ups still under way at the deadline are dropped.
    Clock::Steady deadline;
    std::function<bool()> stopped;
};

// Blocks on the caller's thread, driving `multi`, which must not have transfers of its own
// under way. The multi's per-host cap bounds how many connections it opens.
PreopenReport preopenConnections(CURLM* multi, const PreopenRequest& request, const Clock& clock);

// The last stretch before the instant that is spun rather than slept. A sleep wakes some tens
// of microseconds late, so some spin is needed; but a thread that spins long has used its
// share of the processor by the instant, and on a busy machine the next scheduler tick hands
// the processor to another program for milliseconds, right at the instant (seen with a 2 ms
// spin: one run in three late by more than 0.2 ms on a loaded machine, against one in ten).
// Meant with PreciseWakeups held, which makes the wake-up itself sharp.
inline constexpr std::chrono::microseconds kFiringSpin{300};

// Sleeps until `at` on the clock, then spins out the last `spin`. False when stopped() turned
// true first (checked between slices).
bool waitPrecisely(const Clock& clock, Clock::Steady at, const std::function<bool()>& stopped,
                   std::chrono::nanoseconds spin = kFiringSpin);

// How long to poll before `until`: at most 50 ms, so that a stop asked for is seen soon.
int pollSliceMs(const Clock& clock, Clock::Steady until);

// The log line after the warm-ups.
std::string preopenLine(const PreopenReport& report);

}  // namespace vellicor::mall
