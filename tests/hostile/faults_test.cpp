// The tool against a portal that misbehaves in every way the simulator knows: an exchange run
// of 50 workers, the balances, the sign-in states and the update check. Whatever the fault,
// each worker ends with one outcome line, the summary adds up, and nothing the tool failed to
// read is shown as if it had been read.

#include <gtest/gtest.h>

#include "doubles.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <numeric>
#include <regex>
#include <set>

#include "app/update_check.h"
#include "mall/balances.h"
#include "mall/exchange_run.h"
#include "portal/server.h"
#include "signin/signin.h"

namespace vellicor {
namespace {

using mall::OutcomeKind;

constexpr int kWorkers = 50;
constexpr const char* kCookies = "uin=o10001; skey=hostile-key";

std::string scenario(const std::string& prefix, const std::string& fault) {
    return R"({"sessions": {"10001": "hostile-key"}, "itemDefaults": {"price": 0},
               "accounts": [{"uin": "10001", "password": "demo-password",
                             "balances": {"CF": 500, "LOL": 120}}],
               "faults": {")" +
           prefix + R"(": )" + fault + "}}";
}

struct Portal {
    explicit Portal(const std::string& json) {
        auto started = portal::Server::start(json);
        EXPECT_TRUE(started.ok()) << (started.ok() ? "" : started.error().message);
        if (started.ok()) {
            server = std::move(started).value();
            config = Config::defaults().withPortal(server->baseUrl());
            config.http.connectTimeoutMs = 1000;
            config.http.totalTimeoutMs = 1500;
            config.exchange.retryWindowMs = 3000;
        }
    }
    std::unique_ptr<portal::Server> server;
    Config config;
};

const mall::Item& plainItem() {
    const auto all = mall::items();
    return *std::find_if(all.begin(), all.end(),
                         [](const mall::Item& i) { return !i.lottery && i.enabled; });
}

// Every line whole, one outcome line per worker, the summary last and adding up.
void expectWellFormedRun(const std::vector<std::string>& lines, const mall::RunSummary& summary) {
    ASSERT_GE(lines.size(), 2u);
    std::map<int, int> perWorker;
    const std::regex worker(R"( #(\d+)( 第\d+次)?  :)");
    for (const auto& line : lines) {
        ASSERT_GE(line.size(), 2u);
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_EQ(line.compare(line.size() - 2, 2, "\r\n"), 0) << line;
        std::smatch m;
        if (std::regex_search(line, m, worker)) {
            ++perWorker[std::stoi(m[1].str())];
        }
    }
    EXPECT_EQ(perWorker.size(), static_cast<std::size_t>(kWorkers));
    for (const auto& [number, count] : perWorker) {
        EXPECT_EQ(count, 1) << "worker #" << number;
    }
    EXPECT_EQ(lines.back().rfind("兑换结束", 0), 0u) << lines.back();
    EXPECT_EQ(summary.requests, kWorkers);
    EXPECT_EQ(summary.lines, kWorkers);
    ASSERT_EQ(summary.items.size(), 1u);
    const auto& counts = summary.items[0].counts;
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0), kWorkers);
}

struct ExchangeFault {
    const char* name;
    std::string fault;
    OutcomeKind expected;
    long totalTimeoutMs = 1500;
    const char* messagePart = "";
};

std::vector<ExchangeFault> exchangeFaults() {
    return {
        {"refuse", R"({"mode": "refuse"})", OutcomeKind::Unknown, 1500, "已发出，结果未知"},
        {"hang", R"({"mode": "hang"})", OutcomeKind::Unknown, 1500, "timed out"},
        {"slow", R"({"mode": "slow", "delayMs": 1})", OutcomeKind::Popup, 20000},
        {"slow past the time-out", R"({"mode": "slow", "delayMs": 50})", OutcomeKind::Unknown},
        {"reset mid-body", R"({"mode": "reset_mid_body"})", OutcomeKind::Failed},
        {"truncated chunked", R"({"mode": "truncated_chunked"})", OutcomeKind::Failed},
        // The cap ends each reply long before its time-out, even on a loaded machine: one
        // that ran out of time after its answer began would end "结果未知" instead.
        {"50 MB body", R"({"mode": "huge_body"})", OutcomeKind::Failed, 30000, "4194304"},
        {"invalid GBK", R"({"mode": "invalid_gbk"})", OutcomeKind::Popup},
        {"no marker", R"({"mode": "no_marker"})", OutcomeKind::Unrecognised},
        {"HTTP 429", R"({"mode": "status_429"})", OutcomeKind::Throttled, 1500, "HTTP 429"},
        {"HTTP 503", R"({"mode": "status_503"})", OutcomeKind::Throttled, 1500, "HTTP 503"},
        {"garbage status line", R"({"mode": "garbage_status"})", OutcomeKind::Failed},
        {"redirect loop", R"({"mode": "redirect_loop"})", OutcomeKind::Unrecognised, 1500,
         "HTTP 302"},
        {"late answer", R"({"mode": "delay", "delayMs": 300})", OutcomeKind::Popup},
    };
}

TEST(HostileExchange, EveryWorkerEndsOnceUnderEveryFault) {
    for (const auto& tc : exchangeFaults()) {
        SCOPED_TRACE(tc.name);
        Portal portal(scenario("/mall/index.php", tc.fault));
        ASSERT_TRUE(portal.server);
        portal.config.http.totalTimeoutMs = tc.totalTimeoutMs;
        test::LogCapture lines;
        mall::RunPlan plan{{&plainItem()}, kWorkers, vellicor::web::oneAccount(kCookies)};
        auto run =
            mall::ExchangeRun::start(plan, portal.config, SystemClock::instance(), lines.sink());
        run->wait();
        const auto summary = run->summary();
        const auto all = lines.lines();
        expectWellFormedRun({all.begin() + 1, all.end()}, summary);
        EXPECT_EQ(summary.items[0].count(tc.expected), kWorkers)
            << (all.size() > 1 ? all[1] : std::string());
        EXPECT_TRUE(lines.any(tc.messagePart)) << tc.messagePart;
        if (tc.expected == OutcomeKind::Unknown || tc.expected == OutcomeKind::Failed) {
            // No answer to ask again after: each request reached the mall once.
            EXPECT_EQ(portal.server->log().size(), static_cast<std::size_t>(kWorkers));
        }
    }
}

// Told to slow down, a worker waits longer each time: within a three-second window a worker
// whose pauses start at 400 ms (Retry-After 1 s raises them to the 800 ms maximum, at most
// half of which the jitter takes) asks at most 1 + 3000 / 400 times, where the 50 ms pause
// of a "not open yet" answer would let it ask 60 times.
TEST(HostileExchange, TooManyRequestsSlowsTheRetriesDown) {
    for (const char* mode : {"status_429", "status_503"}) {
        SCOPED_TRACE(mode);
        Portal portal(scenario("/mall/index.php", R"({"mode": ")" + std::string(mode) + "\"}"));
        ASSERT_TRUE(portal.server);
        auto& ex = portal.config.exchange;
        ex.retryPauseMs = 50;
        ex.throttleBackoffMs = 400;
        ex.throttleBackoffMaxMs = 800;
        ex.throttleJitterPercent = 50;
        test::LogCapture lines;
        auto run = mall::ExchangeRun::start({{&plainItem()}, kWorkers, vellicor::web::oneAccount(kCookies)}, portal.config,
                                            SystemClock::instance(), lines.sink());
        run->wait();
        const auto summary = run->summary();
        const int most = kWorkers * (1 + 3000 / 400);
        EXPECT_LE(summary.sends, most);
        EXPECT_GE(summary.sends, kWorkers);
        const auto log = portal.server->log();
        EXPECT_EQ(static_cast<int>(log.size()), summary.sends);
        EXPECT_EQ(summary.items[0].count(OutcomeKind::Throttled), kWorkers);
    }
}

// Busy for the first 20 requests only: each of those workers asks again and is served.
TEST(HostileExchange, ThrottledForAWhileThenServed) {
    Portal portal(scenario("/mall/index.php", R"({"mode": "status_503", "times": 20})"));
    ASSERT_TRUE(portal.server);
    portal.config.exchange.throttleBackoffMs = 50;
    portal.config.exchange.throttleBackoffMaxMs = 100;
    portal.config.exchange.retryWindowMs = 600000;  // however slow the machine, no one gives up
    test::LogCapture lines;
    auto run = mall::ExchangeRun::start({{&plainItem()}, kWorkers, vellicor::web::oneAccount(kCookies)}, portal.config,
                                        SystemClock::instance(), lines.sink());
    run->wait();
    const auto summary = run->summary();
    const auto all = lines.lines();
    expectWellFormedRun({all.begin() + 1, all.end()}, summary);
    EXPECT_EQ(summary.items[0].count(OutcomeKind::Popup), kWorkers);
    EXPECT_EQ(summary.sends, kWorkers + 20);
}

struct ReadFault {
    const char* name;
    std::string fault;
    bool readable;  // the page still comes whole (late, slowly, or with spoilt bytes)
};

std::vector<ReadFault> readFaults() {
    return {
        {"refuse", R"({"mode": "refuse"})", false},
        {"hang", R"({"mode": "hang"})", false},
        {"slow", R"({"mode": "slow", "delayMs": 1})", true},
        {"reset mid-body", R"({"mode": "reset_mid_body"})", false},
        {"truncated chunked", R"({"mode": "truncated_chunked"})", false},
        {"50 MB body", R"({"mode": "huge_body"})", false},
        {"invalid GBK", R"({"mode": "invalid_gbk"})", true},
        {"no marker", R"({"mode": "no_marker"})", false},
        {"HTTP 429", R"({"mode": "status_429"})", false},
        {"HTTP 503", R"({"mode": "status_503"})", false},
        {"garbage status line", R"({"mode": "garbage_status"})", false},
        {"redirect loop", R"({"mode": "redirect_loop"})", false},
    };
}

TEST(HostileReads, BalancesAreReadOrRefusedNeverGuessed) {
    for (const auto& tc : readFaults()) {
        SCOPED_TRACE(tc.name);
        Portal portal(scenario("/mall/record.php", tc.fault));
        ASSERT_TRUE(portal.server);
        portal.config.http.totalTimeoutMs = tc.readable ? 20000 : 1500;
        const auto balances = mall::readBalances(portal.config, kCookies);
        ASSERT_EQ(balances.ok(), tc.readable)
            << (balances.ok() ? std::string("read") : balances.error().message);
        if (!balances.ok()) {
            EXPECT_FALSE(balances.error().message.empty());
            continue;
        }
        EXPECT_EQ((*balances)[0].text, "CF 游票: 500");
        EXPECT_EQ((*balances)[1].text, "LOL 游票: 120");
        EXPECT_EQ((*balances)[2].text, "BNS 游票: 0");
    }
}

TEST(HostileReads, SigninStatesAreReadOrUnknown) {
    for (const auto& tc : readFaults()) {
        SCOPED_TRACE(tc.name);
        Portal portal(scenario("/center2/indexop.php", tc.fault));
        ASSERT_TRUE(portal.server);
        portal.config.http.totalTimeoutMs = tc.readable ? 20000 : 800;
        test::LogCapture lines;
        std::vector<std::string> shown;
        const auto result = signin::refreshStates(
            portal.config, kCookies, lines.sink(),
            [&](std::size_t, const std::string& label) { shown.push_back(label); });
        ASSERT_EQ(shown.size(), mall::games().size());
        for (const auto& label : result.labels) {
            EXPECT_EQ(label.find(signin::kUnknown) != std::string::npos, !tc.readable) << label;
        }
        EXPECT_EQ(result.failed, tc.readable ? 0u : mall::games().size());
        EXPECT_EQ(lines.any("签到信息读取失败"), !tc.readable);
        EXPECT_FALSE(result.dayComplete);
    }
}

TEST(HostileReads, UpdateCheckSaysItGotNoAnswer) {
    for (const auto& tc : readFaults()) {
        SCOPED_TRACE(tc.name);
        Portal portal(scenario("/thread-", tc.fault));
        ASSERT_TRUE(portal.server);
        portal.config.http.totalTimeoutMs = tc.readable ? 20000 : 1500;
        test::RecordingBoxes boxes(AnswerCancel);
        test::RecordingOpener opener;
        test::LogCapture lines;
        const auto outcome = app::runUpdateCheck(portal.config, boxes, opener, lines.sink());
        if (tc.readable) {
            EXPECT_EQ(outcome, app::UpdateOutcome::Current);
            continue;
        }
        EXPECT_TRUE(outcome == app::UpdateOutcome::NoPage ||
                    outcome == app::UpdateOutcome::NoVersion);
        EXPECT_TRUE(lines.any("无法检测版本更新")) << lines.lines().back();
        EXPECT_TRUE(boxes.shown().empty());
    }
}

}  // namespace
}  // namespace vellicor
