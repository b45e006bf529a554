// Timed runs against the simulator: connections opened ahead, nothing sent early, every worker
// ending with one line however its pre-opened connection fared.

#include <future>

#include "timed_fixture.h"
#include "wait_until.h"

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
    Clock::WallTime instant;
    const RunSummary summary = runTimed({"选择框1"}, 40, instant);
    EXPECT_EQ(summary.lines, 40);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed), 0);
    EXPECT_EQ(lines_.count("已预先建立 40 个连接"), 1) << lines_.text();
    const auto exchanges = requests(true);
    ASSERT_EQ(exchanges.size(), 40u);
    // Receive times and the instant are both on the system's real-time clock; the slack
    // covers only reading the two clocks one after the other.
    const auto instantNanos =
        std::chrono::duration_cast<nanoseconds>(instant.time_since_epoch()).count();
    const std::int64_t slack = 100000;
    for (const auto& r : exchanges) {
        EXPECT_EQ(r.secure, f.secure);
        EXPECT_GE(r.completedNanos, instantNanos - slack) << r.target;
        EXPECT_LT(r.connectedNanos, instantNanos - slack) << "request on a connection opened late";
        if (f.lastByte) {
            EXPECT_LT(r.arrivalNanos, instantNanos - slack) << "nothing of it written ahead";
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
    Clock::WallTime instant;
    const RunSummary summary = runTimed({"选择框1"}, 5, instant);
    EXPECT_EQ(summary.lines, 5);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed), 5);
    EXPECT_EQ(lines_.count("已预先建立 0 个连接"), 1);
    EXPECT_TRUE(requests(true).empty());
}

// The mall closes kept connections that stay idle: those opened ahead die before the instant
// and their requests go out on fresh ones, at the instant, also those that were waiting for a
// connection past the cap.
TEST_F(TimedRun, ConnectionsTheMallClosesWhileIdleAreReplaced) {
    for (const int cap : {1000, 5}) {
        SCOPED_TRACE(cap);
        startPortal(R"("idleTimeoutMs": 150)");
        config_.exchange.maxConnectionsPerHost = cap;
        lines_.clear();
        Clock::WallTime instant;
        const RunSummary summary = runTimed({"选择框1"}, 20, instant);
        EXPECT_EQ(summary.lines, 20);
        EXPECT_EQ(lines_.count(kOutcome), 20);
        EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed), 0);
        const auto exchanges = requests(true);
        EXPECT_EQ(exchanges.size(), 20u);
        const auto instantNanos =
            std::chrono::duration_cast<nanoseconds>(instant.time_since_epoch()).count();
        for (const auto& r : exchanges) {
            EXPECT_GE(r.arrivalNanos, instantNanos - 100000) << "sent before the instant";
        }
    }
}
// A pre-opened connection that the mall resets as the request comes in ends no worker
// early and none twice: the mall may have carried the exchange out, so the worker's line
// says the request left and its result is unknown, and it is not sent a second time.
TEST_F(TimedRun, ConnectionsResetByTheFirstRequestsEndWithOneLineEach) {
    startPortal(R"("faults": {"/mall/index.php?op=exchangeing": {"mode": "refuse", "times": 30}})");
    Clock::WallTime instant;
    const RunSummary summary = runTimed({"选择框1"}, 30, instant);
    EXPECT_EQ(summary.lines, 30);
    EXPECT_EQ(lines_.count(kOutcome), 30);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Unknown), 30);
    EXPECT_EQ(requests(true).size(), 30u);
}

TEST_F(TimedRun, ConnectionsClosedBeforeTheInstantAreReplaced) {
    startPortal();
    const auto port = server_->port();
    std::promise<void> warmed;
    lines_.onFirst("已预先建立", [&warmed] { warmed.set_value(); });
    const Clock& clock = SystemClock::instance();
    RunOptions options;
    options.fireAt = clock.steadyNow() + std::chrono::seconds(1);
    ExchangeController controller(config_, clock, lines_.sink());
    ASSERT_TRUE(controller.start({"选择框1"}, "30", kCookies, options));
    ASSERT_EQ(warmed.get_future().wait_for(test::kWaitBound), std::future_status::ready)
        << "the run never opened its connections: " << lines_.text();
    // The mall goes away with every pooled connection and comes back on the same port.
    server_.reset();
    portal::ServerOptions again;
    again.port = port;
    again.scenarioJson = R"({"sessions": {"10001": "precisionkey"}, "itemDefaults": {"price": 0}})";
    auto restarted = portal::Server::start(again);
    ASSERT_TRUE(restarted.ok()) << restarted.error().message;
    server_ = std::move(restarted).value();
    controller.wait();
    const RunSummary summary = controller.lastSummary().value_or(RunSummary{});
    EXPECT_EQ(summary.lines, 30);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed), 0);
    EXPECT_EQ(requests(true).size(), 30u);
}

TEST_F(TimedRun, TwoThousandWorkersEndWithTwoThousandLines) {
    startPortal();
    config_.exchange.maxConnectionsPerHost = 500;  // the rest wait their turn in the queue
    Clock::WallTime instant;
    const RunSummary summary = runTimed({"选择框1", "选择框2"}, 1000, instant);
    EXPECT_EQ(summary.requests, 2000);
    EXPECT_EQ(summary.lines, 2000);
    EXPECT_EQ(lines_.count(kOutcome), 2000);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Failed) +
                  summary.items.at(1).count(OutcomeKind::Failed),
              0);
}

}  // namespace
}  // namespace vellicor::mall
