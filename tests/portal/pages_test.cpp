// The simulator's pages over real loopback HTTP: the texts the tool relies on, the login's
// cookies and redirect, and the mall's answers.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "client.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "portal/scenario.h"
#include "portal/server.h"
#include "web/login_address.h"

namespace vellicor::portal {
namespace {

using test::fetch;

std::string between(const std::string& text, const std::string& open, const std::string& close) {
    const auto a = text.find(open);
    if (a == std::string::npos) {
        return {};
    }
    const auto b = text.find(close, a + open.size());
    return b == std::string::npos ? std::string{}
                                  : text.substr(a + open.size(), b - a - open.size());
}

std::string exchangeTarget(int gid, long long propsid, int way) {
    return "/mall/index.php?op=exchangeing&gid=" + std::to_string(gid) +
           "&type=2&propsid=" + std::to_string(propsid) + "&way=" + std::to_string(way) +
           "&g_tk=730418526";
}

class PagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto started = Server::start();
        ASSERT_TRUE(started.ok()) << started.error().message;
        server_ = std::move(started.value());
    }
    void stage(const std::string& json) {
        const Status s = server_->setScenario(json);
        ASSERT_TRUE(s.ok()) << s.error().message;
    }
    std::uint16_t port() const { return server_->port(); }
    std::string base() const { return server_->baseUrl(); }

    std::unique_ptr<Server> server_;
};

struct LoginCase {
    const char* what;
    std::string returnTo;  // empty: no s_url field
    std::string password;
    int status;
    std::string location;  // expected Location, empty for none
};

TEST_F(PagesTest, LoginSetsCookiesAndRedirectsOnlyToItself) {
    const std::string classify = base() + "/mall/classify.php?type=2&gid=2&sort=3";
    const std::string local = "http://localhost:" + std::to_string(port()) + "/mall/record.php";
    const LoginCase cases[] = {
        {"absolute return page", classify, "demo-password", 302, classify},
        {"localhost form", local, "demo-password", 302, local},
        {"relative path", "/mall/record.php", "demo-password", 302, "/mall/record.php"},
        {"no return address", "", "demo-password", 302, "/mall/classify.php?type=2&gid=2&sort=3"},
        {"foreign host", "http://evil.example/mall/classify.php", "demo-password", 400, ""},
        {"another port", "http://127.0.0.1:1/", "demo-password", 400, ""},
        {"protocol-relative", "//evil.example/", "demo-password", 400, ""},
        {"user-info trick", base() + "@evil.example/", "demo-password", 400, ""},
        {"line break", "/a\r\nSet-Cookie: x=1", "demo-password", 400, ""},
        {"other scheme", "javascript:alert(1)", "demo-password", 400, ""},
        {"wrong password", classify, "nope", 200, ""},
    };
    for (const auto& c : cases) {
        std::string body = "u=10001&p=" + c.password;
        if (!c.returnTo.empty()) {
            body += "&s_url=" + web::encodeOnce(c.returnTo);
        }
        const auto reply = fetch(port(), "/cgi-bin/login_submit", {}, "POST", body);
        EXPECT_EQ(reply.status, c.status) << c.what;
        EXPECT_EQ(reply.header("Location"), c.location) << c.what;
        const std::string cookies = reply.all("Set-Cookie");
        if (c.status == 302) {
            EXPECT_NE(cookies.find("uin=o10001; Path=/"), std::string::npos) << c.what;
            EXPECT_NE(cookies.find("skey=@"), std::string::npos) << c.what;
            EXPECT_NE(cookies.find("ptui_loginuin=10001"), std::string::npos) << c.what;
        } else {
            EXPECT_EQ(cookies, "") << c.what;
        }
    }
}

TEST_F(PagesTest, LoginPagesCarryTheirReturnAddressAndElements) {
    const Config config = Config::defaults().withPortal(base());
    // As an attribute value: its "&" written "&amp;".
    const std::string returnPage =
        std::regex_replace(web::returnPageAddress(config), std::regex("&"), "&amp;");
    const std::pair<std::string, bool> pages[] = {{web::quickLoginAddress(config), true},
                                                  {web::accountLoginAddress(config), false}};
    for (const auto& [address, quick] : pages) {
        const auto reply = fetch(port(), address.substr(base().size()));
        ASSERT_EQ(reply.status, 200) << address;
        EXPECT_EQ(reply.header("Content-Type"), "text/html; charset=gbk");
        EXPECT_NE(reply.text.find("name=\"s_url\" value=\"" + returnPage + "\""), std::string::npos)
            << address;
        EXPECT_NE(reply.text.find("id=\"login_button\""), std::string::npos);
        EXPECT_NE(reply.text.find("id=\"u\""), std::string::npos);
        EXPECT_NE(reply.text.find("id=\"p\""), std::string::npos);
        EXPECT_NE(reply.text.find("/ptcss/b3/sc/563027201/login.css"), std::string::npos);
        EXPECT_EQ(reply.text.find("使用其他号码登录") != std::string::npos, quick) << address;
    }
    const auto css = fetch(port(), "/ptcss/b3/sc/563027201/login.css");
    EXPECT_EQ(css.status, 200);
    EXPECT_EQ(css.header("Content-Type"), "text/css; charset=gbk");
}

TEST_F(PagesTest, ExchangeAnswers) {
    stage(R"({
        "accounts": [{"uin": "10001", "password": "demo-password",
                      "balances": {"CF": 100, "LOL": 5}, "unmet": [1399625298]}],
        "items": {
            "1397711761": {"price": 30},
            "1399626483": {"stock": 0},
            "1399626068": {"opensAfterMs": 3600000},
            "1398656551": {"price": 50},
            "1398169633": {"conditionUnmet": true},
            "1399626984": {"price": 1}
        },
        "lottery": {"winPercent": 0}
    })");
    const std::string cookie = test::loginCookie(port());
    struct Case {
        const char* what;
        std::string target;
        bool loggedIn;
        std::string expected;
    };
    const Case cases[] = {
        {"not logged in", exchangeTarget(2, 1397711761, 1), false, "很抱歉，您还没有登录</p>"},
        {"success", exchangeTarget(2, 1397711761, 1), true, "成功兑换改名"},
        {"sold out", exchangeTarget(2, 1399626483, 1), true, "该商品今日已被兑换完"},
        {"not open", exchangeTarget(2, 1399626068, 1), true, "点开始兑换，请稍后再来</p>"},
        {"account condition", exchangeTarget(2, 1399625298, 1), true, "您未满足条件"},
        {"item condition", exchangeTarget(26, 1398169633, 1), true, "您未满足条件"},
        {"tickets short", exchangeTarget(26, 1398656551, 1), true, "游票不足"},
        {"lottery loss", exchangeTarget(2, 1399626984, 2), true, "差一点点就中奖了"},
        {"unknown item", exchangeTarget(2, 1234567890, 1), true, "很抱歉，该商品不存在"},
        {"item of another game", exchangeTarget(26, 1397711761, 1), true, "很抱歉，该商品不存在"},
        {"draw for a direct item", exchangeTarget(2, 1397711761, 2), true, "不支持此兑换方式"},
    };
    for (const auto& c : cases) {
        const auto reply = fetch(port(), c.target, c.loggedIn ? cookie : "");
        EXPECT_EQ(reply.status, 200) << c.what;
        EXPECT_NE(reply.text.find(c.expected), std::string::npos) << c.what << "\n" << reply.text;
    }
    const auto open = fetch(port(), exchangeTarget(2, 1397711761, 1), cookie);
    const std::string message = between(open.text, "popaitem c", "关闭窗口");
    EXPECT_NE(message.find("成功兑换改名"), std::string::npos);
    // What a draw and an exchange cost, and what stock they took.
    EXPECT_EQ(server_->balances().at(2), 100 - 30 - 30 - 1);
    EXPECT_EQ(server_->stock(1399626984), 1000);
    EXPECT_EQ(server_->stock(1397711761), 998);
}

TEST_F(PagesTest, LotteryWinIsAPopupAndTakesStock) {
    stage(R"({"items": {"1399628570": {"stock": 2}}, "lottery": {"winPercent": 100}})");
    const std::string cookie = test::loginCookie(port());
    for (int i = 0; i < 3; ++i) {
        const auto reply = fetch(port(), exchangeTarget(2, 1399628570, 2), cookie);
        const bool won =
            between(reply.text, "popaitem c", "关闭窗口").find("抽中了") != std::string::npos;
        EXPECT_EQ(won, i < 2) << i;
        EXPECT_EQ(reply.text.find("该商品今日已被兑换完") != std::string::npos, i == 2) << i;
    }
}

TEST(PortalClock, OpeningTimesFollowTheOffsetClock) {
    using std::chrono::milliseconds;
    // 2024-05-01 09:59:58.000 at UTC+8.
    const Clock::WallTime start{std::chrono::seconds(1714528798)};
    struct Case {
        const char* what;
        std::string item;
        double offsetMs;
        long long advanceMs;
        bool open;
    };
    const std::string epoch = std::to_string(1714528800000LL);
    const Case cases[] = {
        {"time of day, before", R"({"opensAt": "10:00:00"})", 0, 1999, false},
        {"time of day, at", R"({"opensAt": "10:00:00"})", 0, 2000, true},
        {"offset brings it forward", R"({"opensAt": "10:00:00"})", 1500.5, 500, true},
        {"offset not quite enough", R"({"opensAt": "10:00:00"})", 1500.5, 499, false},
        {"epoch, before", R"({"opensAtEpochMs": )" + epoch + "}", 0, 1000, false},
        {"epoch, after", R"({"opensAtEpochMs": )" + epoch + "}", 0, 2001, true},
        {"after load, before", R"({"opensAfterMs": 2000})", 0, 1999, false},
        {"after load, at", R"({"opensAfterMs": 2000})", 0, 2000, true},
    };
    for (const auto& c : cases) {
        MockClock clock(start);
        ServerOptions o;
        o.clock = &clock;
        o.scenarioJson = R"({"clockOffsetMs": )" + std::to_string(c.offsetMs) +
                         R"(, "items": {"1397711761": )" + c.item + "}}";
        auto server = Server::start(o);
        ASSERT_TRUE(server.ok()) << server.error().message;
        const std::string cookie = server.value()->sessionCookie().value();
        const auto before = fetch(server.value()->port(), exchangeTarget(2, 1397711761, 1), cookie);
        EXPECT_EQ(between(before.text, "很抱歉，", "</p>"),
                  "改名将于10:00:00点开始兑换，请稍后再来")
            << c.what;
        clock.advance(milliseconds(c.advanceMs));
        const auto after = fetch(server.value()->port(), exchangeTarget(2, 1397711761, 1), cookie);
        EXPECT_EQ(after.text.find("popaitem c") != std::string::npos, c.open) << c.what;
    }
}

TEST(PortalClock, SignInDaysRollOverOnThePortalsLocalMidnight) {
    // 2024-05-01 23:59:59 at UTC+8.
    MockClock clock(Clock::WallTime{std::chrono::seconds(1714579199)});
    ServerOptions o;
    o.clock = &clock;
    o.scenarioJson = R"({"accounts": [{"uin": "10001", "password": "pw",
                                       "signin": {"CF": {"signed": true, "total": 5, "run": 5}}}]})";
    auto server = Server::start(o);
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::string cookie = server.value()->sessionCookie().value();
    auto ask = [&](const std::string& op) {
        const std::string text =
            fetch(server.value()->port(), "/center2/indexop.php?op=" + op + "&gid=2", cookie).text;
        return std::to_string(text.find("签到成功") != std::string::npos) + " " +
               between(text, "<strong>", "</strong>") + " " + between(text, "<em>", "</em>");
    };
    struct Step {
        long long advanceSeconds;
        std::string op;
        std::string expected;
    };
    const Step steps[] = {
        {0, "getsign", "1 5 已连续签到5天"},
        {1, "getsign", "0 5 已连续签到5天"},  // a new day: not signed, the run still alive
        {0, "sign", "1 6 已连续签到6天"},
        {2 * 86400, "getsign", "0 6 已连续签到0天"},  // a day missed
        {0, "sign", "1 7 已连续签到1天"},
    };
    for (const auto& s : steps) {
        clock.advance(std::chrono::seconds(s.advanceSeconds));
        EXPECT_EQ(ask(s.op), s.expected) << s.op << " after " << s.advanceSeconds;
    }
}

TEST_F(PagesTest, RecordPageGivesEachBalanceInItsSpan) {
    stage(R"({"accounts": [{"uin": "10001", "password": "demo-password",
                            "balances": {"CF": 35, "BNS": 7, "NZ": 0}}],
              "items": {"1397711761": {"price": 5}}})");
    const std::string cookie = test::loginCookie(port());
    EXPECT_NE(fetch(port(), "/mall/record.php").text.find("您还没有登录"), std::string::npos);
    fetch(port(), exchangeTarget(2, 1397711761, 1), cookie);
    const std::string page = fetch(port(), "/mall/record.php", cookie).text;
    // The balance reader's rule: the name, then the next e"> and the number up to </span>.
    std::map<std::string, std::string> read;
    for (const auto& g : games()) {
        const auto at = page.find(g.name);
        if (at == std::string::npos) {
            continue;
        }
        const auto open = page.find("e\">", at);
        const auto close = page.find("</span>", open);
        read[g.name] = page.substr(open + 3, close - open - 3);
    }
    const std::map<std::string, std::string> expected = {
        {"穿越火线", "30"}, {"剑灵", "7"}, {"逆战", "0"}};
    EXPECT_EQ(read, expected);
    const std::string cost = fetch(port(), "/mall/record.php?op=cost", cookie).text;
    EXPECT_NE(cost.find("改名"), std::string::npos);
    EXPECT_EQ(cost.find("防弹衣"), std::string::npos);
}

TEST_F(PagesTest, SignInQueryCentrePageAndClick) {
    stage(R"({"accounts": [{"uin": "10001", "password": "demo-password",
                            "signin": {"CF": {"signed": false, "total": 4, "run": 2},
                                       "LOL": {"signed": true, "total": 9, "run": 3}}}],
              "centreWithoutButton": [61]})");
    const std::string cookie = test::loginCookie(port());
    auto query = [&](int gid) {
        return fetch(port(),
                     "/center2/indexop.php?op=getsign&tipsflg=1&gid=" + std::to_string(gid) +
                         "&g_tk=862047319",
                     cookie)
            .text;
    };
    struct Case {
        int gid;
        bool signedToday;
        std::string total;
        std::string run;
    };
    for (const Case& c :
         {Case{2, false, "4", "已连续签到2天"}, Case{26, true, "9", "已连续签到3天"},
          Case{10, false, "0", "已连续签到0天"}}) {
        const std::string text = query(c.gid);
        EXPECT_EQ(text.find("签到成功") != std::string::npos, c.signedToday) << c.gid;
        EXPECT_EQ(between(text, "<strong>", "</strong>"), c.total) << c.gid;
        EXPECT_EQ(between(text, "<em>", "</em>"), c.run) << c.gid;
    }
    const std::string centre = fetch(port(), "/center/index.php?first=1&gid=2", cookie).text;
    EXPECT_NE(centre.find("id=\"id_game_sign_btn\""), std::string::npos);
    const std::string signPath = "/center2/indexop.php?op=sign&gid=";
    ASSERT_NE(centre.find(signPath), std::string::npos);
    for (int click = 0; click < 2; ++click) {  // a second click changes nothing
        const std::string answer = fetch(port(), signPath + "2&g_tk=862047319", cookie).text;
        EXPECT_NE(answer.find("签到成功"), std::string::npos);
        EXPECT_EQ(between(answer, "<strong>", "</strong>"), "5");
        EXPECT_EQ(between(answer, "<em>", "</em>"), "已连续签到3天");
    }
    EXPECT_NE(query(2).find("签到成功"), std::string::npos);
    const std::string bare = fetch(port(), "/center/index.php?first=1&gid=61", cookie).text;
    EXPECT_EQ(bare.find("id_game_sign_btn"), std::string::npos);
    EXPECT_NE(
        fetch(port(), "/center2/indexop.php?op=getsign&tipsflg=1&gid=2").text.find("您还没有登录"),
        std::string::npos);
}

// An item an account may take once a day: the second try of the first account is refused
// while the stock lasts, and a second account wins what the first may no longer take; the
// item's text says so, and an item without a limit has none.
TEST(PortalLimit, EachAccountMayTakeTheItemOnceADay) {
    // 2024-05-01 23:59:30 at UTC+8.
    MockClock clock(Clock::WallTime{std::chrono::seconds(1714579170)});
    ServerOptions o;
    o.clock = &clock;
    o.scenarioJson = R"({"utcOffsetSeconds": 28800,
                         "items": {"cf-rename": {"stock": 3, "perAccountDaily": 1}}})";
    auto server = Server::start(o);
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::uint16_t port = server.value()->port();
    const std::string classify = fetch(port, "/mall/classify.php?type=2&gid=2&sort=3").text;
    const auto row = classify.find("改名");
    ASSERT_NE(row, std::string::npos);
    const std::string rowText = classify.substr(row, classify.find("</li>", row) - row);
    EXPECT_NE(rowText.find("每个帐号每天限兑 1 次"), std::string::npos) << rowText;
    EXPECT_EQ(classify.find("每个帐号每天限兑", classify.find("</li>", row)), std::string::npos);

    const std::string first = server.value()->sessionCookie("10001").value();
    const std::string second = server.value()->sessionCookie("10002").value();
    struct Step {
        const char* what;
        long long advanceSeconds;
        const std::string* cookie;
        std::string says;
        std::int64_t stock;  // left after it
    };
    const Step steps[] = {
        {"the first account", 0, &first, "成功兑换", 2},
        {"the first again", 0, &first, "每个帐号每天限兑 1 次", 2},
        {"the second account", 0, &second, "成功兑换", 1},
        {"the second again", 0, &second, "每个帐号每天限兑 1 次", 1},
        {"the first the next day", 60, &first, "成功兑换", 0},
        {"the second the next day, sold out", 0, &second, "已被兑换完", 0},
    };
    for (const Step& s : steps) {
        clock.advance(std::chrono::seconds(s.advanceSeconds));
        const std::string text = fetch(port, exchangeTarget(2, 1397711761, 1), *s.cookie).text;
        EXPECT_NE(text.find(s.says), std::string::npos) << s.what << ": " << text;
        EXPECT_EQ(server.value()->stock(1397711761), s.stock) << s.what;
    }
    EXPECT_FALSE(parseScenario(R"({"items": {"cf-rename": {"perAccountDaily": -1}}})").ok());
}

TEST_F(PagesTest, SitePages) {
    stage(R"({"version": "4"})");
    struct Case {
        std::string target;
        int status;
        std::string expected;
    };
    const Case cases[] = {
        {"/", 200, "游戏人生"},
        {"/mall/index.php", 200, "游票商城"},
        {"/mall/classify.php?type=2&gid=2&sort=3", 200, "防弹衣"},
        {"/forum.php", 200, "Quorrel论坛"},
        {"/thread-206311-1-1.html", 200, "Vellicor Version: 4 正式发布拉"},
        {"/home.php?mod=spacecp&ac=follow&op=add&hash=3fa2c1d8&fuid=1180467", 200, "关注成功"},
        {"/home.php?mod=spacecp&ac=follow&op=add", 200, "参数错误"},
        {"/share/home?uk=2837465910&view=share", 200, "Vellicor_v4.zip"},
        {"/thread-abc-1-1.html", 404, "不存在"},
        {"/nowhere", 404, "不存在"},
    };
    for (const auto& c : cases) {
        const auto reply = fetch(port(), c.target);
        EXPECT_EQ(reply.status, c.status) << c.target;
        EXPECT_EQ(reply.header("Content-Type"), "text/html; charset=gbk") << c.target;
        EXPECT_NE(reply.text.find(c.expected), std::string::npos) << c.target << "\n" << reply.text;
        EXPECT_EQ(reply.text.find("\xEF\xBF\xBD"), std::string::npos) << "not GBK: " << c.target;
    }
}

}  // namespace
}  // namespace vellicor::portal
