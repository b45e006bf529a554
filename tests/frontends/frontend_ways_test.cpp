// Every way of running against the front ends malls really sit behind: nginx speaking HTTP/2
// and HTTP/1.1 over TLS, and the simulator on its own. The outcome lines must carry the mall's
// own words and the mall must see each request once, whatever protocol ALPN settled.

#include <gtest/gtest.h>

#include <mutex>

#include "doubles.h"
#include "mall/balances.h"
#include "mall/clock_sync.h"
#include "mall/exchange_controller.h"
#include "nginx_front.h"
#include "portal/server.h"
#include "signin/signin.h"

namespace vellicor {
namespace {

using std::chrono::milliseconds;

constexpr const char* kCookies = "uin=o10001; skey=frontkey";
constexpr const char* kExchange = "/mall/index.php?op=exchangeing";
constexpr int kWorkers = 20;

enum class Front { NginxH2, NginxH1, Direct };
enum class Way { AtOnce, Timed, LastByte, RetryLoop };

struct Row {
    const char* name;
    Front front;
    Way way;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class FrontEnd : public ::testing::Test {
  protected:
    void start(Front front, const std::string& scenarioExtra = {}) {
        portal::ServerOptions options;
        options.scenarioJson =
            R"({"sessions": {"10001": "frontkey"}, "itemDefaults": {"price": 0, "stock": 100000})" +
            scenarioExtra + "}";
        auto server = portal::Server::start(options);
        ASSERT_TRUE(server.ok()) << server.error().message;
        server_ = std::move(server).value();
        std::string base = server_->baseUrl();
        if (front != Front::Direct) {
            test::NginxOptions nginx;
            nginx.http2 = front == Front::NginxH2;
            nginx.upstreamPort = server_->port();
            auto started = test::NginxFront::start(nginx);
            ASSERT_TRUE(started.ok()) << started.error().message;
            nginx_ = std::move(started).value();
            base = nginx_->baseUrl();
        }
        // Loaded again once the front end is up: an item's opening counts from here, not from
        // before a start that takes long on a busy machine.
        ASSERT_TRUE(server_->setScenario(options.scenarioJson).ok());
        config_ = Config::defaults().withPortal(base);
        config_.http.caFile = test::tlsCaFile();
        config_.timer.preopenLeadMs = 600;
    }

    std::vector<portal::LoggedRequest> exchanges() const {
        std::vector<portal::LoggedRequest> out;
        for (auto& r : server_->log()) {
            if (r.target.starts_with(kExchange)) {
                out.push_back(r);
            }
        }
        return out;
    }

    std::unique_ptr<portal::Server> server_;
    std::unique_ptr<test::NginxFront> nginx_;
    Config config_;
};

class FrontEndWays : public FrontEnd, public ::testing::WithParamInterface<Row> {};

std::string protocolWanted(Front front) {
    return front == Front::NginxH2 ? "HTTP/2，" : "HTTP/1.1，";
}

TEST_P(FrontEndWays, EveryWorkerOneLineInTheMallsWordsAndEachRequestSeenOnce) {
    const Row row = GetParam();
    start(row.front,
          row.way == Way::RetryLoop ? R"(, "items": {"1397711761": {"opensAfterMs": 700}})" : "");
    config_.timer.lastByteSync = row.way == Way::LastByte;
    mall::RunOptions options;
    const Clock& clock = SystemClock::instance();
    if (row.way == Way::Timed || row.way == Way::LastByte) {
        options.fireAt = clock.steadyNow() + milliseconds(1200);
    }
    test::LogCapture log;
    mall::ExchangeController controller(config_, clock, log.sink());
    ASSERT_TRUE(controller.start({"选择框1"}, std::to_string(kWorkers), vellicor::web::oneAccount(kCookies), options));
    controller.wait();
    const mall::RunSummary summary = controller.lastSummary().value();

    int outcomes = 0;
    int won = 0;
    bool namedProtocol = false;
    for (const std::string& line : log.lines()) {
        namedProtocol = namedProtocol || line.starts_with(protocolWanted(row.front));
        if (line.find("  :") != std::string::npos) {
            ++outcomes;
            won += line.find("恭喜您，成功兑换") != std::string::npos ? 1 : 0;
        }
    }
    EXPECT_TRUE(namedProtocol) << "no line names " << protocolWanted(row.front);
    EXPECT_EQ(outcomes, kWorkers);
    EXPECT_EQ(won, kWorkers) << "every line should carry the mall's answer";
    EXPECT_EQ(summary.lines, kWorkers);
    EXPECT_EQ(static_cast<int>(exchanges().size()), summary.sends);
    if (row.way == Way::RetryLoop) {
        EXPECT_GT(summary.sends, kWorkers) << "the item opened late: workers asked again";
    } else {
        EXPECT_EQ(summary.sends, kWorkers);
    }
}

std::vector<Row> rows() {
    std::vector<Row> out;
    const std::pair<Front, const char*> fronts[] = {
        {Front::NginxH2, "NginxH2"}, {Front::NginxH1, "NginxH1"}, {Front::Direct, "Direct"}};
    const std::pair<Way, const char*> ways[] = {{Way::AtOnce, "AtOnce"},
                                                {Way::Timed, "Timed"},
                                                {Way::LastByte, "LastByte"},
                                                {Way::RetryLoop, "RetryLoop"}};
    static std::vector<std::string> names;
    names.reserve(12);
    for (const auto& [front, frontName] : fronts) {
        for (const auto& [way, wayName] : ways) {
            names.push_back(std::string(frontName) + wayName);
            out.push_back({names.back().c_str(), front, way});
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, FrontEndWays, ::testing::ValuesIn(rows()),
                         [](const auto& row) { return std::string(row.param.name); });

// The mall's clock, the balances and the sign-in query go by libcurl's own transfers, which
// speak whatever ALPN settled.
class FrontEndServices : public FrontEnd, public ::testing::WithParamInterface<Front> {};

TEST_P(FrontEndServices, ClockBalancesAndSigninReadThroughTheFrontEnd) {
    start(GetParam(), R"(, "clockOffsetMs": 400, "accounts": [{"uin": "10001",
        "password": "pw", "balances": {"CF": 35, "LOL": 120}}])");
    mall::SyncOptions sync;
    sync.timeBudget = std::chrono::seconds(4);
    const auto estimate = mall::estimateMallOffset(config_, SystemClock::instance(), sync);
    ASSERT_TRUE(estimate.ok()) << estimate.error().message;
    EXPECT_GE(estimate->mallAhead(), milliseconds(395));
    EXPECT_LE(estimate->mallAhead(), milliseconds(405));

    const auto balances = mall::readBalances(config_, kCookies);
    ASSERT_TRUE(balances.ok()) << balances.error().message;
    EXPECT_FALSE(balances->empty());

    const auto states = signin::refreshStates(
        config_, kCookies, [](const std::string&) {}, [](std::size_t, const std::string&) {});
    EXPECT_EQ(states.failed, 0U);
}

INSTANTIATE_TEST_SUITE_P(Table, FrontEndServices,
                         ::testing::Values(Front::NginxH2, Front::NginxH1, Front::Direct),
                         [](const auto& front) {
                             switch (front.param) {
                                 case Front::NginxH2:
                                     return std::string("NginxH2");
                                 case Front::NginxH1:
                                     return std::string("NginxH1");
                                 case Front::Direct:
                                     break;
                             }
                             return std::string("Direct");
                         });

}  // namespace
}  // namespace vellicor
