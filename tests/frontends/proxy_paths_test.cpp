// Every way a run leaves through the proxy it is given, and nothing around it: real squid
// and dante before nginx and the simulator, the mall's front end telling by the client
// address what came through which proxy (squid sends from 127.0.0.2, dante from 127.0.0.3)
// and what came directly (127.0.0.1).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "doubles.h"
#include "mall/aim.h"
#include "mall/clock_sync.h"
#include "mall/exchange_run.h"
#include "mall/send_way.h"
#include "nginx_front.h"
#include "portal/server.h"
#include "proxy_front.h"
#include "resetting_relay.h"

namespace vellicor {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kExchange = "/mall/index.php?op=exchangeing";
constexpr int kPerItem = 3;
constexpr int kItems = 2;

enum class Accounts {
    Configured,          // one account, http.proxy squid
    OwnProxies,          // two accounts, one through squid, one through dante
    Socks,               // one account, http.proxy dante
    SocksUser,           // one account, http.proxy dante asking for a user and password
    DeadProxy,           // http.proxy naming a port where nothing listens
    WrongPassword,       // squid asking for credentials, given the wrong password
    SocksWrongPassword,  // dante asking for credentials, given the wrong password
    ProxyCloses,         // http.proxy squid behind a relay that resets every tunnel in the lead
};

struct Row {
    std::string name;
    bool tls;
    HttpVersion version;
    bool timed;
    Accounts accounts;
    std::string says;  // in every outcome line, for the rows that fail at the proxy
};

const char* const kUnreachable = "请求失败：无法连接代理 127.0.0.1:9：";
// The proxy's refusal, the line naming the proxy as the row gave it.
const char* const kRefused = "拒绝了用户名或密码";
// Distinct from anything else in a log, so that a password shown anywhere is found.
const char* const kWrongPassword = "wr0ng-secret";

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

std::string rowName(const ::testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

class ProxyPaths : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        const Accounts accounts = GetParam().accounts;
        if (accounts == Accounts::SocksUser || accounts == Accounts::SocksWrongPassword) {
            if (auto user = test::ensureSocksUser(); !user) {
                ASSERT_EQ(user.error().code, ErrorCode::Unavailable) << user.error().message;
                GTEST_SKIP() << user.error().message;
            }
        }
        portal::ServerOptions options;
        options.scenarioJson =
            R"({"sessions": {"10001": "k1", "10002": "k2"}, "itemDefaults": {"price": 0, "stock": 100000}})";
        auto server = portal::Server::start(options);
        ASSERT_TRUE(server.ok()) << server.error().message;
        server_ = std::move(server).value();
        test::NginxOptions front;
        front.listen =
            GetParam().tls ? test::NginxOptions::Listen::Tls : test::NginxOptions::Listen::Plain;
        front.upstreamPort = server_->port();
        auto nginx = test::NginxFront::start(front);
        ASSERT_TRUE(nginx.ok()) << nginx.error().message;
        nginx_ = std::move(nginx).value();
        config_ = Config::defaults().withPortal(nginx_->baseUrl());
        config_.http.caFile = test::tlsCaFile();
        config_.http.version = GetParam().version;
        config_.timer.preopenLeadMs = 1500;
        config_.exchange.retryPauseMs = 100;
    }

    // The row's proxy given `user` and a password.
    std::vector<web::Account> throughOne(test::ProxyKind kind, const std::string& user,
                                         const std::string& password) {
        proxies_.push_back(proxy(kind, true));
        user_ = user;
        config_.http.proxy = proxies_[0] ? proxies_[0]->setting(user + ":" + password + "@") : "";
        return {web::makeAccount("大号", "uin=o10001; skey=k1")};
    }

    // What every worker is told when the row ends at the proxy.
    std::string failureLine() const {
        if (GetParam().says != kRefused) {
            return GetParam().says;
        }
        return "请求失败：代理 " + proxies_[0]->setting(user_ + ":***@") + " " + kRefused;
    }

    std::unique_ptr<test::ProxyFront> proxy(test::ProxyKind kind, bool credentials = false) {
        auto started = test::startProxy({kind, credentials, {}});
        EXPECT_TRUE(started.ok()) << started.error().message;
        return started.ok() ? std::move(started).value() : nullptr;
    }

    // The row's accounts and proxies; the proxies stay up until the test ends.
    std::vector<web::Account> accounts() {
        const std::string a = "uin=o10001; skey=k1";
        const std::string b = "uin=o10002; skey=k2";
        switch (GetParam().accounts) {
            case Accounts::Configured:
                proxies_.push_back(proxy(test::ProxyKind::Squid));
                config_.http.proxy = proxies_[0]->setting();
                return {web::makeAccount("大号", a)};
            case Accounts::Socks:
                proxies_.push_back(proxy(test::ProxyKind::Dante));
                config_.http.proxy = proxies_[0]->setting();
                return {web::makeAccount("大号", a)};
            case Accounts::OwnProxies:
                proxies_.push_back(proxy(test::ProxyKind::Squid, true));
                proxies_.push_back(proxy(test::ProxyKind::Dante));
                return {web::makeAccount("大号", a,
                                         proxies_[0]->setting(std::string(test::kProxyUser) + ":" +
                                                              test::kProxyPassword + "@")),
                        web::makeAccount("小号2", b, proxies_[1]->setting())};
            case Accounts::DeadProxy:
                config_.http.proxy = "127.0.0.1:9";
                return {web::makeAccount("大号", a)};
            case Accounts::ProxyCloses: {
                proxies_.push_back(proxy(test::ProxyKind::Squid));
                auto relay = test::ResettingRelay::start(proxies_[0]->port());
                EXPECT_TRUE(relay.ok()) << relay.error().message;
                relay_ = relay.ok() ? std::move(relay).value() : nullptr;
                config_.http.proxy = "127.0.0.1:" + std::to_string(relay_ ? relay_->port() : 9);
                // Once the run's connections are open, every tunnel dies before the instant.
                log_.onFirst(GetParam().version == HttpVersion::Http1_1 ? "HTTP/1.1，" : "HTTP/2，",
                             [this] { closedInLead_ = relay_->resetAll(); });
                return {web::makeAccount("大号", a)};
            }
            case Accounts::WrongPassword:
                return throughOne(test::ProxyKind::Squid, test::kProxyUser, kWrongPassword);
            case Accounts::SocksUser:
                return throughOne(test::ProxyKind::Dante, test::kSocksUser, test::kProxyPassword);
            case Accounts::SocksWrongPassword:
                return throughOne(test::ProxyKind::Dante, test::kSocksUser, kWrongPassword);
        }
        return {};
    }

    void run(const std::vector<web::Account>& accounts) {
        mall::RunPlan plan;
        plan.items = {&mall::items()[0], &mall::items()[1]};
        plan.perItem = kPerItem;
        plan.accounts = accounts;
        mall::RunOptions options;
        if (GetParam().timed) {
            // Armed as a user arms one long enough ahead: the mall's clock read through the
            // accounts' proxy, then the run's whole lead before the opening, however long the
            // reading took.
            const Clock& clock = SystemClock::instance();
            const Config probing = mall::probeConfig(config_, accounts);
            const auto estimate =
                mall::timerEstimate(probing, clock, mall::syncOptionsFor(seconds(3)));
            const auto opening = std::chrono::ceil<seconds>(
                clock.wallNow() + milliseconds(config_.timer.preopenLeadMs + 1000));
            const auto aim = mall::aimFiring(probing, clock, estimate, Clock::WallTime(opening));
            log_.sink()(aim.line);
            options.fireAt = aim.fireAt;
        }
        auto started = mall::ExchangeRun::start(plan, config_, SystemClock::instance(), log_.sink(),
                                                {}, options);
        started->wait();
        summary_ = started->summary();
    }

    // Each request the front end logged, by where it came from; a request may be logged a
    // moment after its answer left.
    int exchangesFrom(const std::string& address) const {
        return test::linesFrom(nginx_->accessLog(), address, kExchange);
    }
    std::string context() const {
        return "run:\n" + log_.text() + "\nfront end:\n" + nginx_->accessLog();
    }

    std::unique_ptr<portal::Server> server_;
    std::unique_ptr<test::NginxFront> nginx_;
    std::vector<std::unique_ptr<test::ProxyFront>> proxies_;
    std::unique_ptr<test::ResettingRelay> relay_;
    std::string user_;  // the one the row's proxy setting names
    int closedInLead_ = 0;
    Config config_;
    test::LogCapture log_;
    mall::RunSummary summary_;
};

TEST_P(ProxyPaths, NothingGoesAroundTheProxy) {
    const Row& row = GetParam();
    const auto runAccounts = accounts();
    ASSERT_FALSE(HasFailure());
    run(runAccounts);
    const int workers = kItems * kPerItem * static_cast<int>(runAccounts.size());
    if (!row.says.empty()) {
        EXPECT_EQ(summary_.endedAtProxy, workers) << context();
        EXPECT_TRUE(mall::nothingPastProxy(summary_));
        EXPECT_EQ(nginx_->accessLog(), "") << context();
        EXPECT_EQ(static_cast<int>(log_.holding(failureLine()).size()), workers) << context();
        EXPECT_EQ(log_.text().find(test::kProxyPassword), std::string::npos) << context();
        EXPECT_EQ(log_.text().find(kWrongPassword), std::string::npos) << context();
        return;
    }
    if (relay_) {
        // Replaced through the proxy, never around it.
        EXPECT_GT(closedInLead_, 0) << context();
        EXPECT_GT(relay_->accepted(), closedInLead_) << context();
        EXPECT_EQ(summary_.endedAtProxy, 0) << context();
    }
    const int perAccount = kItems * kPerItem;
    for (std::size_t i = 0; i < proxies_.size(); ++i) {
        const std::string from = proxies_[i]->outgoingAddress();
        EXPECT_TRUE(nginx_->awaitAccessLines(from + " ", perAccount)) << "through " << from << "\n"
                                                                      << context();
        EXPECT_EQ(exchangesFrom(from), perAccount) << from << "\n" << context();
    }
    // Nothing directly: the exchange requests, the clock probes, the warm-ups.
    EXPECT_EQ(test::linesFrom(nginx_->accessLog(), "127.0.0.1"), 0) << context();
    EXPECT_NE(log_.text().find("经代理"), std::string::npos) << context();
    if (row.timed) {
        // Opened ahead through the proxy: the run's own connections or the wave's tunnels.
        const bool wave = row.tls && row.version != HttpVersion::Http1_1;
        const std::string opened = wave ? "HTTP/2，" : "HTTP/1.1，已预先建立 ";
        EXPECT_NE(log_.text().find(opened), std::string::npos) << context();
        EXPECT_EQ(log_.text().find(opened + "0 "), std::string::npos) << context();
        EXPECT_EQ(log_.text().find("未能建立"), std::string::npos) << context();
        EXPECT_EQ(log_.text().find("定时按本机时钟"), std::string::npos) << context();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProxyPaths,
    ::testing::Values(
        Row{"HttpsH2NowConfigured", true, HttpVersion::Auto, false, Accounts::Configured, ""},
        Row{"HttpsH1NowOwnProxies", true, HttpVersion::Http1_1, false, Accounts::OwnProxies, ""},
        Row{"PlainNowSocks", false, HttpVersion::Auto, false, Accounts::Socks, ""},
        Row{"PlainNowConfigured", false, HttpVersion::Auto, false, Accounts::Configured, ""},
        Row{"HttpsNowDeadProxy", true, HttpVersion::Auto, false, Accounts::DeadProxy, kUnreachable},
        Row{"PlainNowWrongPassword", false, HttpVersion::Auto, false, Accounts::WrongPassword,
            kRefused},
        Row{"HttpsNowWrongPassword", true, HttpVersion::Auto, false, Accounts::WrongPassword,
            kRefused},
        Row{"HttpsH2TimedConfigured", true, HttpVersion::Auto, true, Accounts::Configured, ""},
        Row{"HttpsH2TimedOwnProxies", true, HttpVersion::Auto, true, Accounts::OwnProxies, ""},
        Row{"HttpsH2TimedSocks", true, HttpVersion::Auto, true, Accounts::Socks, ""},
        Row{"HttpsH2TimedSocksUser", true, HttpVersion::Auto, true, Accounts::SocksUser, ""},
        Row{"HttpsNowSocksWrongPassword", true, HttpVersion::Auto, false,
            Accounts::SocksWrongPassword, kRefused},
        Row{"HttpsH1TimedConfigured", true, HttpVersion::Http1_1, true, Accounts::Configured, ""},
        Row{"PlainTimedConfigured", false, HttpVersion::Auto, true, Accounts::Configured, ""},
        Row{"HttpsH1TimedOwnProxies", true, HttpVersion::Http1_1, true, Accounts::OwnProxies, ""},
        Row{"HttpsH2TimedProxyCloses", true, HttpVersion::Auto, true, Accounts::ProxyCloses, ""},
        Row{"HttpsH1TimedProxyCloses", true, HttpVersion::Http1_1, true, Accounts::ProxyCloses,
            ""}),
    rowName);

}  // namespace
}  // namespace vellicor
