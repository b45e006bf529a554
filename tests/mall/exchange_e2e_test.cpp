// Exchange runs against the portal simulator on loopback.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "doubles.h"
#include "mall/exchange_controller.h"
#include "portal/server.h"

namespace vellicor::mall {
namespace {

constexpr const char* kCookies = "uin=o10001; skey=mallskey; ptui_loginuin=10001";

std::string scenario(const std::string& extra = {}) {
    return R"({"sessions": {"10001": "mallskey"}, "itemDefaults": {"price": 0})" +
           (extra.empty() ? std::string() : ", " + extra) + "}";
}

// The outcome lines ("[改名] #1  :…"), and how many of them hold `part`.
std::vector<std::string> outcomes(const test::LogCapture& log) {
    return log.holding("  :");
}
std::size_t containing(const test::LogCapture& log, const std::string& part) {
    const auto all = outcomes(log);
    return static_cast<std::size_t>(std::count_if(
        all.begin(), all.end(), [&](const auto& l) { return l.find(part) != std::string::npos; }));
}

class ExchangeE2e : public ::testing::Test {
  protected:
    void startPortal(const std::string& json) {
        auto server = portal::Server::start(json);
        ASSERT_TRUE(server.ok()) << server.error().message;
        server_ = std::move(server).value();
        config_ = Config::defaults().withPortal(server_->baseUrl());
        config_.exchange.retryPauseMs = 100;
        config_.exchange.retryWindowMs = 20000;
    }

    std::vector<portal::LoggedRequest> exchanges() const {
        std::vector<portal::LoggedRequest> out;
        for (auto& r : server_->log()) {
            if (r.target.rfind("/mall/index.php?op=exchangeing", 0) == 0) {
                out.push_back(r);
            }
        }
        return out;
    }

    RunSummary run(const std::vector<std::string>& ticked, const std::string& field) {
        ExchangeController controller(config_, SystemClock::instance(), log_.sink());
        EXPECT_TRUE(controller.start(ticked, field, vellicor::web::oneAccount(kCookies)));
        controller.wait();
        auto summary = controller.lastSummary();
        EXPECT_TRUE(summary.has_value());
        return summary.value_or(RunSummary{});
    }

    std::unique_ptr<portal::Server> server_;
    Config config_;
    test::LogCapture log_;
};

TEST_F(ExchangeE2e, TwoItemsThreeWorkersEach) {
    startPortal(scenario());
    const RunSummary summary = run({"选择框3", "选择框1"}, "3");

    std::map<std::string, int> perTarget;
    for (const auto& r : exchanges()) {
        ++perTarget[r.target];
        EXPECT_EQ(r.cookies, kCookies);
        EXPECT_EQ(r.method, "GET");
    }
    const std::map<std::string, int> expected{
        {exchangePath(findItem("cf-rename")->target), 3},
        {exchangePath(findItem("cf-body-armour")->target), 3}};
    EXPECT_EQ(perTarget, expected);

    const auto lines = outcomes(log_);
    ASSERT_EQ(lines.size(), 6u);
    for (const auto& l : lines) {
        EXPECT_EQ(l.substr(l.size() - 2), "\r\n");
        EXPECT_EQ(l.find('\n'), l.size() - 1) << l;
    }
    EXPECT_EQ(containing(log_, "[改名] #"), 3u);
    EXPECT_EQ(containing(log_, "[防弹衣] #"), 3u);
    EXPECT_EQ(summary.lines, 6);
    EXPECT_EQ(summary.items.size(), 2u);
    EXPECT_NE(log_.lines().back().find("兑换结束"), std::string::npos);
}

// The simulator sells what the catalogue offers: each item on offer, named by its id, is
// taken once at its own address, and its answer is one of the mall's, read as such.
TEST_F(ExchangeE2e, EveryCatalogueItemIsBoughtAndAnswered) {
    startPortal(scenario());
    std::vector<std::string> ids;
    std::map<std::string, int> expected;
    for (const Item& item : items()) {
        if (item.enabled) {
            ids.emplace_back(item.id);
            expected[exchangePath(item.target)] = 1;
        }
    }
    const RunSummary summary = run(ids, "1");
    std::map<std::string, int> perTarget;
    for (const auto& r : exchanges()) {
        ++perTarget[r.target];
    }
    EXPECT_EQ(perTarget, expected);
    ASSERT_EQ(summary.items.size(), ids.size());
    for (const ItemTally& tally : summary.items) {
        const int answered = tally.count(OutcomeKind::Popup) + tally.count(OutcomeKind::SoldOut) +
                             tally.count(OutcomeKind::LotteryLoss) +
                             tally.count(OutcomeKind::Unmet) + tally.count(OutcomeKind::Refusal) +
                             tally.count(OutcomeKind::NotOpen);
        EXPECT_EQ(answered, 1) << tally.item->id;
        EXPECT_EQ(log_.count("[" + std::string(tally.item->caption) + "] #1"), 1)
            << tally.item->id;
    }
}

TEST_F(ExchangeE2e, LotteryItemWithDefaultFieldDrawsOneHundredTimes) {
    startPortal(scenario(R"("lottery": {"winPercent": 0})"));
    const RunSummary summary = run({"选择框6"}, "100");
    const auto sent = exchanges();
    ASSERT_EQ(sent.size(), 100u);
    for (const auto& r : sent) {
        EXPECT_NE(r.target.find("&way=2&"), std::string::npos) << r.target;
    }
    EXPECT_EQ(outcomes(log_).size(), 100u);
    EXPECT_EQ(containing(log_, "  :差一点点就中奖了\r\n"), 100u);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::LotteryLoss), 100);
}

TEST_F(ExchangeE2e, ItemOpeningLaterIsWonAfterRetries) {
    startPortal(scenario(R"("items": {"1399626483": {"opensAfterMs": 2000}})"));
    const RunSummary summary = run({"选择框3"}, "3");
    const auto lines = outcomes(log_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(summary.items.at(0).count(OutcomeKind::Popup), 3);
    for (const auto& l : lines) {
        EXPECT_NE(l.find(" 第"), std::string::npos) << l;  // asked more than once
    }
    EXPECT_GT(exchanges().size(), 3u);
    EXPECT_EQ(static_cast<std::size_t>(summary.sends), exchanges().size());
}

// One connection and a slow mall space the workers out: the first ones are told "not open",
// the item opens sold out, and the first sold-out answer ends their waiting.
TEST_F(ExchangeE2e, SoldOutStopsTheOthersRetrying) {
    startPortal(scenario(
        R"("replyDelayMs": 300, "items": {"1399626483": {"opensAfterMs": 450, "stock": 0}})"));
    config_.exchange.maxConnectionsPerHost = 1;
    config_.exchange.retryPauseMs = 5000;
    const RunSummary summary = run({"选择框3"}, "5");
    EXPECT_EQ(exchanges().size(), 5u);  // nobody asked again
    EXPECT_EQ(summary.sends, 5);
    EXPECT_EQ(outcomes(log_).size(), 5u);
    const auto& tally = summary.items.at(0);
    EXPECT_GE(tally.count(OutcomeKind::SoldOut), 1);
    EXPECT_GE(tally.count(OutcomeKind::NotOpen), 1);
    EXPECT_EQ(tally.count(OutcomeKind::SoldOut) + tally.count(OutcomeKind::NotOpen), 5);
    EXPECT_EQ(containing(log_, "停止重试"),
              static_cast<std::size_t>(tally.count(OutcomeKind::NotOpen)));
}

TEST_F(ExchangeE2e, TwoThousandRequestsEndInTwoThousandLines) {
    startPortal(scenario());
    const RunSummary summary = run({"选择框3", "选择框4"}, "1000");
    EXPECT_EQ(exchanges().size(), 2000u);
    const auto lines = outcomes(log_);
    EXPECT_EQ(lines.size(), 2000u);
    EXPECT_EQ(summary.lines, 2000);
    std::map<std::string, int> perWorker;
    for (const auto& l : lines) {
        const auto hash = l.find("] #");
        ASSERT_NE(hash, std::string::npos) << l;
        ++perWorker[l.substr(l.find('['), l.find("  :") - l.find('['))];
    }
    EXPECT_EQ(perWorker.size(), 2000u);  // every worker has its own line
}

// The host is looked up once for the run and handed to every transfer.
TEST_F(ExchangeE2e, MallNamedByHostName) {
    startPortal(scenario());
    config_.mall = "http://localhost:" + std::to_string(server_->port());
    run({"选择框1"}, "3");
    EXPECT_EQ(exchanges().size(), 3u);
    EXPECT_EQ(containing(log_, "恭喜您"), 3u);
}

TEST_F(ExchangeE2e, FailedRequestsEachGetALine) {
    startPortal(scenario());
    server_->stop();
    run({"选择框1"}, "3");
    EXPECT_EQ(containing(log_, "请求失败："), 3u);
}

TEST_F(ExchangeE2e, BadInputSendsNothing) {
    startPortal(scenario());
    struct Case {
        std::vector<std::string> ticked;
        std::string field;
        std::string cookies;
    };
    const std::vector<Case> cases{
        {{"选择框1"}, "", kCookies},     {{"选择框1"}, "0", kCookies},
        {{"选择框1"}, "-3", kCookies},   {{"选择框1"}, "abc", kCookies},
        {{"选择框1"}, "1001", kCookies}, {{}, "3", kCookies},
        {{"选择框1"}, "3", ""},          {{"选择框32"}, "3", kCookies},
    };
    ExchangeController controller(config_, SystemClock::instance(), log_.sink());
    for (const auto& c : cases) {
        EXPECT_FALSE(controller.start(c.ticked, c.field, web::oneAccount(c.cookies))) << c.field;
        EXPECT_FALSE(controller.busy());
    }
    EXPECT_EQ(log_.lines().size(), cases.size());
    for (const auto& l : log_.lines()) {
        EXPECT_NE(l.find("未发送请求\r\n"), std::string::npos) << l;
    }
    EXPECT_TRUE(exchanges().empty());
}

TEST_F(ExchangeE2e, SecondRunRefusedAndCancelEndsEveryWorker) {
    startPortal(scenario(R"("faults": {"/mall/index.php": {"mode": "hang"}})"));
    ExchangeController controller(config_, SystemClock::instance(), log_.sink());
    ASSERT_TRUE(controller.start({"选择框1"}, "4", vellicor::web::oneAccount(kCookies)));
    EXPECT_FALSE(controller.start({"选择框3"}, "4", vellicor::web::oneAccount(kCookies)));
    EXPECT_TRUE(controller.busy());
    controller.cancel();
    controller.wait();
    EXPECT_FALSE(controller.busy());
    // Whether a request had left before the cancel is a race with the run's thread: each
    // worker ends as cancelled either way, with or without "已发出，结果未知".
    EXPECT_EQ(containing(log_, "本次兑换已停止"), 4u);
    EXPECT_EQ(outcomes(log_).size(), 4u);
    std::size_t refused = 0;
    for (const auto& l : log_.lines()) {
        refused += l.find("上一次兑换尚未结束") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(refused, 1u);
    ASSERT_TRUE(controller.lastSummary().has_value());
    EXPECT_TRUE(controller.lastSummary()->cancelled);
}

}  // namespace
}  // namespace vellicor::mall
