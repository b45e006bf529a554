// Timed runs on the real clock whose connections die before the instant: the mall closes
// them while they stay idle, or goes away and comes back. Only real time passing between the
// warm-ups and the instant lets that happen.

#include <future>

#include "timed_fixture.h"
#include "wait_until.h"

namespace vellicor::mall {
namespace {

using namespace timed;

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
TEST_F(TimedRun, ConnectionsClosedBeforeTheInstantAreReplaced) {
    startPortal();
    const auto port = server_->port();
    std::promise<void> warmed;
    lines_.onFirst("已预先建立", [&warmed] { warmed.set_value(); });
    const Clock& clock = SystemClock::instance();
    RunOptions options;
    options.fireAt = clock.steadyNow() + std::chrono::seconds(1);
    ExchangeController controller(config_, clock, lines_.sink());
    ASSERT_TRUE(controller.start({"选择框1"}, "30", vellicor::web::oneAccount(kCookies), options));
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

}  // namespace
}  // namespace vellicor::mall
