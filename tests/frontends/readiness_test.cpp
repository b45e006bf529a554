// The readiness check against the simulator behind a real nginx and a real squid: a row per
// point that can be broken, each showing its line's mark, and the overall verdict.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "alert/alerter.h"
#include "loopback_server.h"
#include "nginx_front.h"
#include "portal/server.h"
#include "proxy_front.h"
#include "raw_server.h"
#include "run/readiness.h"

namespace vellicor {
namespace {

using run::Mark;

enum class Broken { Nothing, Session, Proxy, MallSilent, Balance, AlertChannel };

struct Row {
    std::string name;
    Broken broken;
    std::vector<std::pair<Mark, std::string>> lines;  // each in some line of that mark
    bool ready;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

std::string rowName(const ::testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

class Readiness : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        portal::ServerOptions options;
        options.scenarioJson = R"({"sessions": {"10001": "k1", "10002": "k2"}})";
        auto server = portal::Server::start(options);
        ASSERT_TRUE(server.ok()) << server.error().message;
        server_ = std::move(server).value();
        test::NginxOptions front;
        front.upstreamPort = server_->port();
        front.maxConcurrentStreams = 2;  // the wave needs more connections than one
        auto nginx = test::NginxFront::start(front);
        ASSERT_TRUE(nginx.ok()) << nginx.error().message;
        nginx_ = std::move(nginx).value();
        auto squid = test::startProxy({test::ProxyKind::Squid, false, {}});
        ASSERT_TRUE(squid.ok()) << squid.error().message;
        squid_ = std::move(squid).value();
        config_ = Config::defaults().withPortal(nginx_->baseUrl());
        config_.http.caFile = test::tlsCaFile();
        config_.alert.webhookUrl = hook_.url("/hook");
    }

    // The row's account and what it breaks.
    web::Account account() {
        std::string cookies = "uin=o10001; skey=k1";
        std::string proxy = squid_->setting();
        // Only the rows that break the mall read its clock: reading takes its whole budget.
        config_.timer.useServerClock = GetParam().broken == Broken::Nothing;
        switch (GetParam().broken) {
            case Broken::Session:
                cookies = "uin=o10001; skey=ended";
                break;
            case Broken::Proxy:
                proxy = "127.0.0.1:" + std::to_string(test::closedPort());
                break;
            case Broken::MallSilent:
                config_.mall = silent_.url("");
                config_.http.connectTimeoutMs = 1000;
                config_.http.totalTimeoutMs = 1000;
                proxy.clear();
                break;
            case Broken::Balance:
                cookies = "uin=o10002; skey=k2";  // CF tickets, none for LOL
                break;
            case Broken::AlertChannel:
                config_.alert.webhookUrl =
                    "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/hook";
                break;
            case Broken::Nothing:
                break;
        }
        return web::makeAccount("大号", cookies, proxy);
    }

    test::RawServer hook_{test::replyWith(test::httpReply("200 OK", "", "ok"))};
    test::RawServer silent_{[this](test::Connection&, const std::string&) {
        silent_.waitForStop();  // holds every request unanswered
    }};
    std::unique_ptr<portal::Server> server_;
    std::unique_ptr<test::NginxFront> nginx_;
    std::unique_ptr<test::ProxyFront> squid_;
    Config config_;
};

TEST_P(Readiness, EachPointIsALineMarkedByWhatItFound) {
    const Row& row = GetParam();
    const web::Account checked = account();
    run::ReadinessSetup setup;
    setup.config = config_;
    setup.alerter = std::make_shared<alert::Alerter>(config_, LogSink{});
    std::string log;
    setup.log = [&log](const std::string& line) { log += line; };
    const run::Readiness found = run::checkReadiness(
        setup, {run::RunInput{{"cf-rename", "lol-mecha-rumble"}, "3", {checked}},
                schedule::TimeOfDay{23, 59, 59}});

    EXPECT_EQ(found.ready(), row.ready) << log;
    EXPECT_NE(log.find(run::readinessSummary(found)), std::string::npos) << log;
    for (const auto& [mark, part] : row.lines) {
        const bool seen = std::any_of(found.lines.begin(), found.lines.end(), [&](const auto& l) {
            return l.mark == mark && l.text.find(part) != std::string::npos;
        });
        EXPECT_TRUE(seen) << run::checkLineText({mark, part}) << "in:\n" << log;
    }
    if (row.broken == Broken::Nothing) {
        EXPECT_EQ(found.count(Mark::Fail), 0) << log;
    }
}

const std::string kWho = "帐号 大号：";

INSTANTIATE_TEST_SUITE_P(
    Table, Readiness,
    ::testing::Values(
        Row{"AllWell",
            Broken::Nothing,
            {{Mark::Pass, kWho + "代理 127.0.0.1:"},
             {Mark::Pass, kWho + "会话有效"},
             {Mark::Pass, kWho + "余额：CF"},
             {Mark::Pass, "到商城往返"},
             {Mark::Pass, "协议：TLS 协商（ALPN）为 h2"},
             {Mark::Pass, "商城每个连接最多 2 个请求：本次 6 个请求至少开 3 个连接"},
             {Mark::Pass, "波次适用"},
             {Mark::Pass, "定时 23:59:59："},
             {Mark::Pass, "测试提醒：Web 钩子"}},
            true},
        Row{"SessionEnded", Broken::Session, {{Mark::Fail, kWho + "会话已失效"}}, false},
        Row{"ProxyDown", Broken::Proxy, {{Mark::Fail, kWho + "代理 127.0.0.1:"}}, false},
        Row{"MallSilent",
            Broken::MallSilent,
            {{Mark::Fail, "不应答"}, {Mark::Fail, "商城时钟："}, {Mark::Fail, "波次："}},
            false},
        Row{"NoTicketsForATickedGame", Broken::Balance, {{Mark::Warn, kWho + "没有 LOL"}}, true},
        Row{"AlertChannelDown",
            Broken::AlertChannel,
            {{Mark::Fail, "测试提醒：Web 钩子 失败"}},
            false}),
    rowName);

}  // namespace
}  // namespace vellicor
