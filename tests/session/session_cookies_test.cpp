#include "web/session_cookies.h"

#include <gtest/gtest.h>

namespace vellicor::web {
namespace {

TEST(SessionCookies, OnlyCookiesTheMallWouldBeSent) {
    const Address mall{false, "mall.example.test", 80, "/"};
    struct Case {
        StoredCookie cookie;
        bool goes;
    } cases[] = {
        {{"a", "1", "mall.example.test", false}, true},
        {{"a", "1", "MALL.example.test", false}, true},
        {{"a", "1", ".example.test", false}, true},
        {{"a", "1", ".mall.example.test", false}, true},
        {{"a", "1", "example.test", false}, false},  // host-only cookie of the parent
        {{"a", "1", "login.example.test", false}, false},
        {{"a", "1", ".ample.test", false}, false},
        {{"a", "1", ".xmall.example.test", false}, false},
        {{"a", "1", "", false}, false},
        {{"a", "1", "mall.example.test", true}, false},  // secure, but the mall is plain
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cookieGoesTo(c.cookie, mall), c.goes) << c.cookie.domain;
    }
    EXPECT_TRUE(
        cookieGoesTo({"a", "1", "mall.example.test", true}, {true, "mall.example.test", 443, "/"}));
}

TEST(SessionCookies, KeptCurrentByTheStoreFeeds) {
    SessionCookies s("http://127.0.0.1:8080");
    s.added({"uin", "o10001", "127.0.0.1", false});
    s.added({"skey", "k1", "127.0.0.1", false});
    s.added({"other", "x", "login.example.test", false});
    const std::string before = s.current();
    EXPECT_EQ(before, "uin=o10001; skey=k1");

    s.removed({"skey", "k1", "127.0.0.1", false});  // replaced: removal, then the new one
    s.added({"skey", "k2", "127.0.0.1", false});
    s.removed({"uin", "o10001", "elsewhere.test", false});  // another host's cookie
    EXPECT_EQ(s.current(), "uin=o10001; skey=k2");
    EXPECT_EQ(before, "uin=o10001; skey=k1");  // a copy handed out earlier stays as it was

    s.added({"bad", "a;b", "127.0.0.1", false});
    s.added({"x=y", "1", "127.0.0.1", false});
    s.added({"uin", "line\r\nInjected: 1", "127.0.0.1", false});  // drops the held uin too
    EXPECT_EQ(s.current(), "skey=k2");
    s.clear();
    EXPECT_EQ(s.current(), "");
}

}  // namespace
}  // namespace vellicor::web
