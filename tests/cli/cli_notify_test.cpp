// vellicor-cli notify-test: each configured channel's result, and an exit status a script can
// trust before the sale.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "portal/server.h"
#include "raw_server.h"
#include "run_command.h"

namespace vellicor {
namespace {

test::CommandRun runCli(const std::string& args) {
    return test::runCommand("timeout 60 " + std::string(VELLICOR_CLI_PATH) + " " + args + " 2>&1");
}

TEST(CliNotifyTest, EachChannelsResultAndTheExitStatus) {
    test::RawServer hook(test::replyWith(test::httpReply("200 OK", "", "ok")));
    const std::string closed = std::to_string(test::closedPort());
    const std::string mailTo = "mail_from = a@example.com\nmail_to = b@example.com\n";
    struct Case {
        std::string section;  // of the file; empty: no file at all
        int exitCode;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {"", 1, {"没有配置提醒渠道"}},
        {"[alert]\n", 1, {"没有配置提醒渠道"}},
        {"[alert]\nwebhook_url = " + hook.url("/ok?token=SECRET") + "\n",
         0,
         {"测试提醒：Web 钩子 " + hook.url("/ok") + "?*** 已送达"}},
        {"[alert]\nwebhook_url = http://127.0.0.1:" + closed +
             "/x?token=SECRET\n"
             "timeout_ms = 2000\n",
         1,
         {"测试提醒：Web 钩子 失败："}},
        {"[alert]\nwebhook_url = " + hook.url("/ok") + "\nsmtp_url = smtp://127.0.0.1:" + closed +
             "\nsmtp_user = me\nsmtp_password = SECRET\n" + mailTo,
         1,
         {"Web 钩子 " + hook.url("/ok") + " 已送达", "测试提醒：邮件 失败："}},
        {"[alert]\nwebhook_method = PUT\n", 1, {"alert.webhook_method"}},
    };
    const std::string file = ::testing::TempDir() + "/cli_notify.ini";
    for (const Case& c : cases) {
        std::string args = "notify-test";
        if (!c.section.empty()) {
            std::ofstream(file, std::ios::trunc) << c.section;
            args += " --config " + file;
        }
        const auto run = runCli(args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.section << run.out;
        for (const std::string& part : c.says) {
            EXPECT_NE(run.out.find(part), std::string::npos) << c.section << run.out;
        }
        EXPECT_EQ(run.out.find("SECRET"), std::string::npos) << run.out;
    }
    // The hook got one test alert per run that had it, each with its id.
    for (const std::string& request : hook.requests()) {
        EXPECT_NE(request.find("\r\nX-Alert-Id: "), std::string::npos) << request;
    }
    EXPECT_EQ(hook.requests().size(), 2U);
}

// An exchange whose workers all win the one item sends one win alert for it; one whose workers
// all end throttled sends one throttling alert; a run of now sends no end-of-run alert.
TEST(CliNotifyTest, ExchangeAlertsOnceEach) {
    struct Case {
        std::string faults;
        int wins;
        int throttles;
    };
    const Case cases[] = {
        {"{}", 1, 0},
        {R"({"/mall/index.php?op=exchangeing": {"mode": "status_429"}})", 0, 1},
    };
    for (const Case& c : cases) {
        auto server =
            portal::Server::start(R"({"sessions": {"10001": "k"}, "faults": )" + c.faults + "}");
        ASSERT_TRUE(server.ok()) << server.error().message;
        test::RawServer hook(test::replyWith(test::httpReply("200 OK", "", "ok")));
        const std::string file = ::testing::TempDir() + "/cli_notify_exchange.ini";
        std::ofstream(file, std::ios::trunc)
            << "[portal]\nmall = " << (*server)->baseUrl()
            << "\naccount_login = " << (*server)->baseUrl() << "\n"
            << "[exchange]\nretry_window_ms = 20\nthrottle_backoff_ms = 1\n"
            << "throttle_backoff_max_ms = 2\n"
            << "[alert]\nwebhook_url = " << hook.url("/hook") << "\nwebhook_body = t={title}\n";
        const auto run = runCli("exchange --items 选择框1 --threads 4 --config " + file +
                                " --cookie 'uin=o10001; skey=k'");
        ASSERT_EQ(run.exitCode, 0) << run.out;
        int wins = 0;
        int throttles = 0;
        for (const std::string& request : hook.requests()) {
            wins += request.find("%E6%8A%A2%E5%88%B0%E4%BA%86") != std::string::npos;  // 抢到了
            throttles += request.find("%E9%99%90%E6%B5%81") != std::string::npos;      // 限流
        }
        EXPECT_EQ(wins, c.wins) << run.out;
        EXPECT_EQ(throttles, c.throttles) << run.out;
        EXPECT_EQ(hook.requests().size(), static_cast<std::size_t>(c.wins + c.throttles))
            << run.out;
    }
}

// A timed run ends with an alert carrying its summary. The set time is 3 s ahead on the real
// clock (label realclock).
TEST(CliNotifyTest, TimedRunEndsWithAnAlert) {
    auto server = portal::Server::start(R"({"sessions": {"10001": "k"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    test::RawServer hook(test::replyWith(test::httpReply("200 OK", "", "ok")));
    const std::string file = ::testing::TempDir() + "/cli_notify_timed.ini";
    std::ofstream(file, std::ios::trunc)
        << "[portal]\nmall = " << (*server)->baseUrl()
        << "\naccount_login = " << (*server)->baseUrl()
        << "\n[alert]\nwebhook_url = " << hook.url("/hook") << "\n";
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::time_t beijing =
        std::chrono::system_clock::to_time_t(now + std::chrono::seconds(3)) + 8 * 3600;
    std::tm at{};
    gmtime_r(&beijing, &at);
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", at.tm_hour, at.tm_min, at.tm_sec);
    const auto run = runCli("exchange --items 选择框1 --threads 2 --at " + std::string(clock) +
                            " --config " + file + " --cookie 'uin=o10001; skey=k'");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    std::vector<std::string> bodies;
    for (const std::string& request : hook.requests()) {
        bodies.push_back(request.substr(request.find("\r\n\r\n") + 4));
    }
    ASSERT_EQ(bodies.size(), 2U) << run.out;  // the win, then the end
    EXPECT_NE(bodies[0].find("抢到了 改名"), std::string::npos) << bodies[0];
    EXPECT_NE(bodies[1].find("定时兑换结束"), std::string::npos) << bodies[1];
    EXPECT_NE(bodies[1].find("兑换结束：共 2 个请求"), std::string::npos) << bodies[1];
}

}  // namespace
}  // namespace vellicor
