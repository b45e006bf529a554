// Balances and sign-in states read from the simulator over loopback, with the session a
// real login hands out.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "doubles.h"
#include "mall/balances.h"
#include "portal/embedded.h"
#include "portal/server.h"
#include "signin/signin.h"

namespace vellicor {
namespace {

std::string scenario(bool allSigned) {
    const std::string cf = allSigned ? "true" : "false";
    return R"({"accounts":[{"uin":"10001","password":"demo-password","balances":{"CF":35},
        "signin":{"CF":{"signed":)" +
           cf + R"(,"total":9,"run":4},"LOL":{"signed":true},"BNS":{"signed":true},
        "DNF":{"signed":true},"Speed":{"signed":true},"X5":{"signed":true},
        "NZ":{"signed":true}}}]})";
}

class SessionPortal : public ::testing::Test {
  protected:
    void startWith(const std::string& json) {
        auto started = portal::Server::start(json);
        ASSERT_TRUE(started.ok()) << started.error().message;
        server = std::move(started.value());
        config = Config::defaults().withPortal(server->baseUrl());
        auto login = portal::demoLogin(config);
        ASSERT_TRUE(login.ok()) << login.error().message;
        cookies = login.value();
        server->clearLog();
    }
    std::vector<std::string> targets() const {
        std::vector<std::string> out;
        for (const auto& r : server->log()) {
            out.push_back(r.target);
        }
        return out;
    }

    std::unique_ptr<portal::Server> server;
    Config config;
    std::string cookies;
    test::LogCapture logged;
    LogSink log = logged.sink();
};

TEST_F(SessionPortal, BalancesOfTheLoggedInAccount) {
    startWith(scenario(true));
    const auto balances = mall::readBalances(config, cookies);
    ASSERT_TRUE(balances.ok()) << balances.error().message;
    std::vector<std::string> texts;
    for (const auto& b : *balances) {
        texts.push_back(b.text);
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{"CF 游票: 35", "LOL 游票: 0", "BNS 游票: 0", "DNF 游票: 0",
                                        "Speed 游票: 0", "X5 游票: 0", "NZ 游票: 0"}));
    const auto requests = server->log();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/mall/record.php");
    EXPECT_EQ(requests[0].cookies, cookies);
}

TEST_F(SessionPortal, NoZerosFromAPageThatIsNotTheUsersRecord) {
    startWith(scenario(true));
    const auto stranger = mall::readBalances(config, "uin=o10001; skey=forged");
    ASSERT_FALSE(stranger.ok());
    EXPECT_NE(stranger.error().message.find("not logged in"), std::string::npos);

    Config closed = Config::defaults().withPortal("http://127.0.0.1:1");
    EXPECT_FALSE(mall::readBalances(closed, cookies).ok());
}

TEST_F(SessionPortal, RefreshAsksInGidOrderAndReportsACompleteDay) {
    startWith(scenario(true));
    std::vector<std::size_t> reported;
    const auto result = signin::refreshStates(
        config, cookies, log,
        [&](std::size_t game, const std::string&) { reported.push_back(game); });
    EXPECT_EQ(result.failed, 0u);
    EXPECT_TRUE(result.dayComplete);
    EXPECT_EQ(result.labels[0], "CF  签到成功 9,连续4天");
    const auto lines = logged.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), signin::kDayComplete);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.starts_with(signin::kRefreshing) && l.ends_with("\r\n");
                            }),
              7);
    EXPECT_EQ(reported, signin::refreshOrder());
    std::vector<std::string> expected;
    for (const int gid : {1, 2, 10, 17, 26, 40, 61}) {
        expected.push_back("/center2/indexop.php?op=getsign&tipsflg=1&gid=" + std::to_string(gid) +
                           "&g_tk=862047319");
    }
    EXPECT_EQ(targets(), expected);
}

TEST_F(SessionPortal, OneGameNotSignedMeansTheDayIsNotComplete) {
    startWith(scenario(false));
    const auto result =
        signin::refreshStates(config, cookies, log, [](std::size_t, const std::string&) {});
    EXPECT_FALSE(result.dayComplete);
    EXPECT_EQ(result.labels[0], "CF  未签到 9,连续4天");
    const auto lines = logged.lines();
    EXPECT_EQ(std::find(lines.begin(), lines.end(), signin::kDayComplete), lines.end());
}

TEST_F(SessionPortal, RefreshWithAForeignSessionReadsNothing) {
    startWith(scenario(true));
    const auto result = signin::refreshStates(config, "uin=o1; skey=x", log,
                                              [](std::size_t, const std::string&) {});
    EXPECT_EQ(result.failed, 7u);
    EXPECT_FALSE(result.dayComplete);
    EXPECT_EQ(result.labels[0], "CF  读取失败");
}

}  // namespace
}  // namespace vellicor
