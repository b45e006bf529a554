#pragma once
// What the timed-run tests share: the simulator started in-process, a run timed a little
// ahead on the real clock or on a mock one, and the lines it wrote.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "doubles.h"
#include "instant_driver.h"
#include "mall/exchange_controller.h"
#include "portal/server.h"

namespace vellicor::mall::timed {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

inline constexpr const char* kCookies = "uin=o10001; skey=precisionkey";
inline constexpr const char* kExchange = "/mall/index.php?op=exchangeing";

// What starts each outcome line ("[改名] #1  :…").
inline constexpr const char* kOutcome = "  :";

inline const std::string kTls = VELLICOR_TEST_TLS_DIR;

class TimedRun : public ::testing::Test {
  protected:
    void startPortal(const std::string& extra = {}, bool secure = false) {
        portal::ServerOptions options;
        options.scenarioJson =
            R"({"sessions": {"10001": "precisionkey"}, "itemDefaults": {"price": 0, "stock": 100000})" +
            (extra.empty() ? std::string() : ", " + extra) + "}";
        if (secure) {
            options.tlsCertFile = kTls + "/server.pem";
            options.tlsKeyFile = kTls + "/server.key";
        }
        auto server = portal::Server::start(options);
        ASSERT_TRUE(server.ok()) << server.error().message;
        server_ = std::move(server).value();
        config_ =
            Config::defaults().withPortal(secure ? server_->tlsBaseUrl() : server_->baseUrl());
        config_.http.caFile = kTls + "/ca.pem";
        config_.timer.preopenLeadMs = 900;
    }

    // Runs N per item, timed a second ahead; gives the instant on the wall clock.
    RunSummary runTimed(const std::vector<std::string>& items, int perItem,
                        Clock::WallTime& instant) {
        const Clock& clock = SystemClock::instance();
        const auto steady = clock.steadyNow();
        instant =
            clock.wallNow() +
            std::chrono::duration_cast<Clock::WallTime::duration>(clock.steadyNow() - steady) +
            std::chrono::seconds(1);
        RunOptions options;
        options.fireAt = steady + std::chrono::seconds(1);
        ExchangeController controller(config_, clock, lines_.sink());
        EXPECT_TRUE(controller.start(items, std::to_string(perItem), vellicor::web::oneAccount(kCookies), options));
        controller.wait();
        return controller.lastSummary().value_or(RunSummary{});
    }

    // As runTimed, on a mock clock moved only to where the run sleeps (instant_driver.h); gives
    // the real time at which the instant was let come, in ns since the epoch.
    RunSummary runOnMock(const std::vector<std::string>& items, int perItem,
                         std::int64_t& instantNanos) {
        instantNanos = 0;
        MockClock mock(SystemClock::instance().wallNow());
        SleepNotingClock clock(mock);
        RunOptions options;
        options.fireAt = mock.steadyNow() + std::chrono::seconds(1);
        ExchangeController controller(config_, clock, lines_.sink());
        EXPECT_TRUE(controller.start(items, std::to_string(perItem), vellicor::web::oneAccount(kCookies), options));
        auto ended = std::async(std::launch::async, [&controller] { controller.wait(); });
        if (!driveUntilEnded(mock, clock, *options.fireAt, ended, &instantNanos)) {
            ADD_FAILURE() << "the run neither slept towards its instant nor ended: "
                          << lines_.text();
            controller.cancel();
            mock.advance(std::chrono::hours(1));  // so that no sleep holds the cancelled run
        }
        ended.wait();
        EXPECT_NE(instantNanos, 0) << "the run never waited for its instant: " << lines_.text();
        return controller.lastSummary().value_or(RunSummary{});
    }

    std::vector<portal::LoggedRequest> requests(bool exchanges) const {
        std::vector<portal::LoggedRequest> out;
        for (auto& r : server_->log()) {
            if (r.target.starts_with(kExchange) == exchanges) {
                out.push_back(r);
            }
        }
        return out;
    }

    std::unique_ptr<portal::Server> server_;
    Config config_;
    test::LogCapture lines_;
};

inline std::int64_t nanosOf(Clock::WallTime t) {
    return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace vellicor::mall::timed
