// Timed runs against the simulator, on a mock clock moved only to where the run sleeps:
// connections opened ahead, nothing sent early, every worker ending with one line however its
// pre-opened connection fared, every item its share of the first wave, and a run armed again,
// retimed or stopped on its way to the instant.

#include <algorithm>
#include <functional>
#include <future>
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

// The first exchange's arrival, complete, on the real clock.
std::int64_t earliestExchange(const std::vector<portal::LoggedRequest>& exchanges) {
    std::int64_t first = INT64_MAX;
    for (const auto& r : exchanges) {
        first = std::min(first, r.completedNanos);
    }
    return first;
}

// A run the test drives step by step on the mock clock, between the steps doing what a user
// or the mall's clock would: cancel, arm again, move the instant.
class DrivenRun : public TimedRun {
  protected:
    bool drive(Clock::Steady fireAt, const std::function<bool()>& done) {
        return driveUntil(mock_, clock_, fireAt, done, &released_);
    }
    MockClock mock_{SystemClock::instance().wallNow()};
    SleepNotingClock clock_{mock_};
    std::int64_t released_ = 0;  // when the instant was let come, on the real clock
};

// Pressing "定" again within the lead cancels the prepared run; the new one must still be
// accepted and fire, once, at the new time.
TEST_F(DrivenRun, ArmedAgainWithinTheLeadFiresOnceAtTheNewTime) {
    startPortal();
    ExchangeController controller(config_, clock_, lines_.sink());
    RunOptions first;
    first.fireAt = mock_.steadyNow() + milliseconds(900);
    ASSERT_TRUE(controller.start({"选择框1"}, "10", vellicor::web::oneAccount(kCookies), first));
    ASSERT_TRUE(drive(*first.fireAt, [this] { return lines_.any("已预先建立"); }))
        << "the first run never opened its connections: " << lines_.text();
    controller.cancel();
    RunOptions second;
    second.fireAt = mock_.steadyNow() + milliseconds(1300);
    ASSERT_TRUE(controller.start({"选择框1"}, "10", vellicor::web::oneAccount(kCookies), second)) << lines_.text();
    auto ended = std::async(std::launch::async, [&controller] { controller.wait(); });
    ASSERT_TRUE(drive(*second.fireAt, [&ended] { return isReady(ended); }))
        << "the second run never came to its instant: " << lines_.text();
    ASSERT_NE(released_, 0) << lines_.text();
    EXPECT_EQ(requests(true).size(), 10u) << lines_.text();
    EXPECT_GE(earliestExchange(requests(true)), released_);
    EXPECT_EQ(lines_.count("恭喜您"), 10);
}

// The mall's clock, estimated after the run was prepared, moves the instant: the engine
// follows it until it fires.
TEST_F(DrivenRun, InstantMovedAfterPrepareIsFollowed) {
    startPortal();
    ExchangeController controller(config_, clock_, lines_.sink());
    RunOptions options;
    options.fireAt = mock_.steadyNow() + milliseconds(700);
    ASSERT_TRUE(controller.start({"选择框1"}, "5", vellicor::web::oneAccount(kCookies), options));
    const auto later = mock_.steadyNow() + milliseconds(1400);
    EXPECT_TRUE(controller.retime(later));
    auto ended = std::async(std::launch::async, [&controller] { controller.wait(); });
    ASSERT_TRUE(drive(later, [&ended] { return isReady(ended); }))
        << "the run never came to the moved instant: " << lines_.text();
    ASSERT_NE(released_, 0) << lines_.text();
    ASSERT_EQ(requests(true).size(), 5u);
    EXPECT_GE(earliestExchange(requests(true)), released_);
    EXPECT_FALSE(controller.retime(mock_.steadyNow() + milliseconds(1400)))
        << "a fired run cannot move";
}

// Stopped after the instant: requests already on the wire may have been acted on by the mall,
// and the lines say so instead of claiming they were not sent.
TEST_F(DrivenRun, StoppedAfterTheInstantSaysWhatMayHaveArrived) {
    startPortal(R"("replyDelayMs": 3000)");
    ExchangeController controller(config_, clock_, lines_.sink());
    RunOptions options;
    options.fireAt = mock_.steadyNow() + milliseconds(700);
    ASSERT_TRUE(controller.start({"选择框1"}, "4", vellicor::web::oneAccount(kCookies), options));
    ASSERT_TRUE(drive(*options.fireAt, [this] { return requests(true).size() >= 4; }))
        << "the four requests never reached the mall: " << lines_.text();
    controller.cancel();
    auto ended = std::async(std::launch::async, [&controller] { controller.wait(); });
    ASSERT_TRUE(drive(*options.fireAt, [&ended] { return isReady(ended); }))
        << "the cancelled run never ended: " << lines_.text();
    EXPECT_EQ(lines_.count("已发出，结果未知"), 4) << lines_.text();
    EXPECT_EQ(lines_.count("已取消，本次兑换已停止"), 0);
}

}  // namespace
}  // namespace vellicor::mall
