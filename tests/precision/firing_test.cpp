// Timed runs against the simulator, on a mock clock moved only to where the run sleeps:
// connections opened ahead, nothing sent early, every worker ending with one line however its
// pre-opened connection fared, every item its share of the first wave.

#include <algorithm>
#include <set>

#include "timed_fixture.h"

namespace vellicor::mall {
namespace {

using namespace timed;

struct Firing {
    const char* name;
    bool secure;
    bool lastByte;
};

class TimedFiring : public TimedRun, public ::testing::WithParamInterface<Firing> {};

// Every request is complete only from the instant on, on a connection opened before it; with
// last-byte synchronisation all but its last byte were there ahead.
TEST_P(TimedFiring, NothingCompleteBeforeTheInstantAndOnlyConnectionsOpenedAhead) {
    const Firing f = GetParam();
    startPortal({}, f.secure);
    config_.timer.lastByteSync = f.lastByte;
    std::int64_t instant = 0;
    const RunSummary summary = runOnMock({"选择框1"}, 40, instant);
    EXPECT_EQ(summary.lines, 40);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed), 0);
    EXPECT_EQ(lines_.count("已预先建立 40 个连接"), 1) << lines_.text();
    const auto exchanges = requests(true);
    ASSERT_EQ(exchanges.size(), 40u);
    // Receive times and the moment the instant was let come are both on the system's
    // real-time clock, and the one happened before the other: no slack.
    for (const auto& r : exchanges) {
        EXPECT_EQ(r.secure, f.secure);
        EXPECT_GE(r.completedNanos, instant) << r.target;
        EXPECT_LT(r.connectedNanos, instant) << "request on a connection opened late";
        if (f.lastByte) {
            EXPECT_LT(r.arrivalNanos, instant) << "nothing of it written ahead";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, TimedFiring,
                         ::testing::Values(Firing{"Plain", false, false},
                                           Firing{"PlainLastByte", false, true},
                                           Firing{"Secure", true, false},
                                           Firing{"SecureLastByte", true, true}),
                         [](const auto& p) { return std::string(p.param.name); });

// The run's own connections check the certificate like every other request.
TEST_F(TimedRun, UntrustedCertificateOpensNothingAndEveryWorkerFails) {
    startPortal({}, true);
    config_.http.caFile.clear();
    std::int64_t instant = 0;
    const RunSummary summary = runOnMock({"选择框1"}, 5, instant);
    EXPECT_EQ(summary.lines, 5);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed), 5);
    EXPECT_EQ(lines_.count("已预先建立 0 个连接"), 1);
    EXPECT_TRUE(requests(true).empty());
}

// A pre-opened connection that the mall resets as the request comes in ends no worker
// early and none twice: the mall may have carried the exchange out, so the worker's line
// says the request left and its result is unknown, and it is not sent a second time.
TEST_F(TimedRun, ConnectionsResetByTheFirstRequestsEndWithOneLineEach) {
    startPortal(R"("faults": {"/mall/index.php?op=exchangeing": {"mode": "refuse", "times": 30}})");
    std::int64_t instant = 0;
    const RunSummary summary = runOnMock({"选择框1"}, 30, instant);
    EXPECT_EQ(summary.lines, 30);
    EXPECT_EQ(lines_.count(kOutcome), 30);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Unknown), 30);
    EXPECT_EQ(requests(true).size(), 30u);
}

TEST_F(TimedRun, TwoThousandWorkersEndWithTwoThousandLines) {
    startPortal();
    config_.exchange.maxConnectionsPerHost = 500;  // the rest wait their turn in the queue
    std::int64_t instant = 0;
    const RunSummary summary = runOnMock({"选择框1", "选择框2"}, 1000, instant);
    EXPECT_EQ(summary.requests, 2000);
    EXPECT_EQ(summary.lines, 2000);
    EXPECT_EQ(lines_.count(kOutcome), 2000);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed) +
                  summary.items.at(1).count(OutcomeKind::Failed),
              0);
}

// Beyond the connection cap every ticked item has its share of the first wave.
TEST_F(TimedRun, ItemsBeyondTheCapShareTheFirstWave) {
    startPortal();
    config_.exchange.maxConnectionsPerHost = 6;
    std::int64_t instant = 0;
    runOnMock({"选择框1", "选择框2", "选择框3"}, 6, instant);
    auto exchanges = requests(true);
    ASSERT_EQ(exchanges.size(), 18u);
    std::sort(exchanges.begin(), exchanges.end(),
              [](const auto& a, const auto& b) { return a.completedNanos < b.completedNanos; });
    std::set<std::string> firstWave;
    for (std::size_t i = 0; i < 6; ++i) {
        const auto& t = exchanges[i].target;
        firstWave.insert(t.substr(t.find("propsid=")));
    }
    EXPECT_EQ(firstWave.size(), 3u) << "the first six arrivals were not spread over the items";
}

}  // namespace
}  // namespace vellicor::mall
