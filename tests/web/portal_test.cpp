// The page request against the real portal simulator on loopback: what the server received,
// and the login's cookies and redirect as the later steps use them.
#include <gtest/gtest.h>

#include "platform/codec.h"
#include "portal/server.h"
#include "raw_server.h"
#include "web/page_request.h"

namespace vellicor::web {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

class PortalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto started = portal::Server::start();
        ASSERT_TRUE(started.ok()) << started.error().message;
        server_ = std::move(started.value());
    }

    // The headers of the one request the server logged.
    Headers received() const {
        const auto log = server_->log();
        EXPECT_EQ(log.size(), 1u);
        return log.empty() ? Headers{} : log.back().headers;
    }

    std::unique_ptr<portal::Server> server_;
};

struct ReceivedCase {
    const char* what;
    std::string method;
    std::string headerText;
    std::string cookies;
    Headers afterHost;  // everything after Host, in order
};

TEST_F(PortalTest, HeadersAsTheServerReceivedThem) {
    const std::string url = server_->baseUrl() + "/mall/index.php";
    const std::pair<std::string, std::string> agent{"User-Agent", std::string(kDefaultAgent)};
    const std::pair<std::string, std::string> ref{"Referer", url};
    const std::pair<std::string, std::string> any{"Accept", "*/*"};
    const std::pair<std::string, std::string> zh{"Accept-Language", "zh-cn"};
    const std::pair<std::string, std::string> form{"Content-Type",
                                                   "application/x-www-form-urlencoded"};
    const ReceivedCase cases[] = {
        {"empty text and cookie string", "GET", "", "", {agent, ref, any, zh}},
        {"own Accept",
         "POST",
         "Accept: text/html",
         "a=1; b=2",
         {agent,
          {"Accept", "text/html"},
          ref,
          zh,
          form,
          {"Cookie", "a=1; b=2"},
          {"Content-Length", "3"}}},
        {"Accept-Language is not Accept",
         "GET",
         "Accept-Language: en",
         "",
         {agent, {"Accept-Language", "en"}, ref, any}},
        {"caller's agent",
         "GET",
         "User-Agent: X-Test",
         "",
         {{"User-Agent", "X-Test"}, ref, any, zh}},
        {"own Referer",
         "GET",
         "Referer: http://elsewhere/",
         "s=1",
         {agent, {"Referer", "http://elsewhere/"}, any, zh, {"Cookie", "s=1"}}},
    };
    for (const auto& c : cases) {
        server_->clearLog();
        auto reply = pageRequest({url, c.method, "k=v", c.cookies, c.headerText, ""}, {});
        ASSERT_TRUE(reply.ok()) << c.what << ": " << reply.error().message;
        Headers expected{{"Host", "127.0.0.1:" + std::to_string(server_->port())}};
        expected.insert(expected.end(), c.afterHost.begin(), c.afterHost.end());
        EXPECT_EQ(received(), expected) << c.what;
        EXPECT_EQ(server_->log().back().cookies, c.cookies) << c.what;
    }
}

TEST_F(PortalTest, LoginCookiesRedirectAndTheSessionAfterIt) {
    const std::string back = "/mall/classify.php?type=2&gid=2&sort=3";
    const std::string body = std::string("u=") + portal::kDemoAccount +
                             "&p=" + portal::kDemoPassword +
                             "&s_url=%2Fmall%2Fclassify.php%3Ftype%3D2%26gid%3D2%26sort%3D3";
    auto login =
        pageRequest({server_->baseUrl() + "/cgi-bin/login_submit", "POST", body, "", "", ""}, {});
    ASSERT_TRUE(login.ok()) << login.error().message;
    EXPECT_EQ(login->status, 302);
    EXPECT_EQ(login->redirect, server_->baseUrl() + back);
    const std::string uin = std::string("uin=o") + portal::kDemoAccount;
    ASSERT_EQ(login->cookies.rfind(uin + "; skey=", 0), 0u) << login->cookies;
    EXPECT_NE(login->cookies.find(std::string("; ptui_loginuin=") + portal::kDemoAccount),
              std::string::npos);

    // The held string keeps its own pair and takes the session's.
    const std::string held = mergeCookies("pgv=7; uin=old", login->cookies);
    EXPECT_EQ(held.rfind("pgv=7; " + uin + "; skey=", 0), 0u) << held;
    server_->clearLog();
    auto page = pageRequest({login->redirect, "GET", "", held, "", ""}, {});
    ASSERT_TRUE(page.ok()) << page.error().message;
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(server_->log().back().cookies, held);
}

TEST_F(PortalTest, ThroughAProxy) {
    test::RawServer proxy(test::forwardingProxy());
    const std::string url = server_->baseUrl() + "/cgi-bin/qlogin";
    auto reply =
        pageRequest({url, "GET", "", "", "", "127.0.0.1:" + std::to_string(proxy.port())}, {});
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_TRUE(gbkContains(reply->body, "使用其他号码登录"));
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests().front().rfind("GET " + url + " HTTP/1.1\r\n", 0), 0u);
    const auto log = server_->log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.front().header("Referer"), url);
}

// Credentials in the setting go to the proxy as its Basic authorisation, percent-decoded, and
// never into the request line.
TEST_F(PortalTest, ThroughAProxyWithCredentials) {
    test::RawServer proxy(test::forwardingProxy());
    const std::string at = "@127.0.0.1:" + std::to_string(proxy.port());
    struct Case {
        std::string setting;
        std::string authorization;  // empty: no such header
    };
    const Case cases[] = {
        {"user:pa%40ss" + at, "Basic dXNlcjpwYUBzcw=="},  // user:pa@ss
        {"us:p%3A%2F" + at, "Basic dXM6cDov"},            // user:p:/
        {"solo" + at, "Basic c29sbzo="},                  // no password
        {at.substr(1), ""},
    };
    const std::string url = server_->baseUrl() + "/cgi-bin/qlogin";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        auto reply = pageRequest({url, "GET", "", "", "", c.setting}, {});
        ASSERT_TRUE(reply.ok()) << c.setting << ": " << reply.error().message;
        EXPECT_EQ(reply->status, 200) << c.setting;
        ASSERT_EQ(proxy.requests().size(), i + 1);
        const std::string seen = proxy.requests().back();
        EXPECT_EQ(seen.rfind("GET " + url + " HTTP/1.1\r\n", 0), 0u) << seen;
        const auto header = seen.find("\r\nProxy-Authorization: ");
        if (c.authorization.empty()) {
            EXPECT_EQ(header, std::string::npos) << seen;
        } else {
            EXPECT_NE(seen.find("\r\nProxy-Authorization: " + c.authorization + "\r\n"),
                      std::string::npos)
                << seen;
        }
    }
}

}  // namespace
}  // namespace vellicor::web
