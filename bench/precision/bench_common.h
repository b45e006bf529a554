#pragma once
// Shared by the firing benchmark's sections: the instant, the timing of arrivals against it,
// the floor's TLS client, the plan of a timed run and the lines about the machine; the
// rewriting of one section of the results (results_section.h).

#include <openssl/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/results_section.h"
#include "mall/run_input.h"
#include "platform/clock.h"

namespace vellicor::bench {

extern const std::string kTlsDir;

struct Instant {
    Clock::Steady steady;
    std::int64_t wallNs;
};
Instant instantIn(std::chrono::milliseconds ahead);

double ms(std::int64_t ns);

// Arrivals against the instant; all zero when nothing arrived.
struct Timing {
    double lagMs = 0;     // first arrival minus the instant
    double spreadMs = 0;  // last arrival minus first
    double p50Ms = 0, p99Ms = 0;
};
Timing timingOf(std::vector<std::int64_t> arrivals, const Instant& at);
int countFrom(const std::vector<std::int64_t>& times, const Instant& at);

// A client that trusts the test authority and checks the address, offering `alpn` (wire
// form, empty for none).
class TlsClient {
  public:
    explicit TlsClient(const std::string& alpn = "");
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // A handshaken, verified session on the connected blocking socket, or null.
    SSL* handshake(int fd) const;

  private:
    SSL_CTX* ctx_;
};

// A blocking, Nagle-free connection to 127.0.0.1:port (or `address`:port), or -1.
int connectTo(int port);
int connectTo(const char* address, int port);

mall::RunPlan planOf(int n);
const char* const kCookies = "uin=o10001; skey=bench";

// A spread of a few milliseconds moves with every preemption on a shared machine: each run
// is made several times and the one with the median spread stands.
constexpr int kRepeats = 3;
// The fire lag's tail is read over this many runs or more (--runs), fewer only when asked.
constexpr int kTargetRuns = 20;

// Fire lags over a row's runs.
struct Lags {
    double median = 0, worst = 0;
    int runs = 0;
};
Lags lagsOf(const std::vector<double>& lags);
// "0.041, 0.052, …" in run order.
std::string lagList(const std::vector<double>& lags);

// The run with the median spread, carrying every run's fire lag (Row::lags). Equal spreads (a
// wave in one record spreads 0) are ordered by fire lag.
template <typename Row>
Row medianRow(std::vector<Row> runs) {
    std::vector<double> lags;
    for (const Row& r : runs) {
        lags.push_back(r.time.lagMs);
    }
    std::sort(runs.begin(), runs.end(), [](const Row& a, const Row& b) {
        return a.time.spreadMs != b.time.spreadMs ? a.time.spreadMs < b.time.spreadMs
                                                  : a.time.lagMs < b.time.lagMs;
    });
    Row row = runs[runs.size() / 2];
    row.lags = std::move(lags);
    return row;
}

template <typename Row, typename Run>
Row medianOf(int times, Run run) {
    std::vector<Row> runs;
    for (int i = 0; i < times; ++i) {
        runs.push_back(run());
    }
    return medianRow(std::move(runs));
}

// Each way `times` times, the ways taking turns, so that a burst of load on the machine falls
// on all of them alike rather than on one way's series; a row per way, as medianOf.
template <typename Row>
std::vector<Row> inTurns(int times, const std::vector<std::function<Row()>>& ways) {
    std::vector<std::vector<Row>> runs(ways.size());
    for (int i = 0; i < times; ++i) {
        for (std::size_t k = 0; k < ways.size(); ++k) {
            runs[k].push_back(ways[k]());
        }
    }
    std::vector<Row> rows;
    for (auto& r : runs) {
        rows.push_back(medianRow(std::move(r)));
    }
    return rows;
}

std::string machine();

// Keeps the calling thread, and the threads and processes it starts from now on, on one
// processor. False where the machine has fewer than two, or the system refused.
bool pinToProcessor(int cpu);
std::string fmt(const char* format, double v);
const char* verdict(bool met);

}  // namespace vellicor::bench
