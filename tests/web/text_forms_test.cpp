#include <gtest/gtest.h>

#include "web/page_request.h"
#include "web/proxy_setting.h"

namespace vellicor::web {
namespace {

TEST(SplitAddress, Splits) {
    struct Case {
        const char* url;
        bool secure;
        const char* host;
        int port;
        const char* path;
    };
    const Case cases[] = {
        {"https://host/p?q=1", true, "host", 443, "/p?q=1"},
        {"http://host:8080", false, "host", 8080, "/"},
        {"http://host", false, "host", 80, "/"},
        {"http://host/", false, "host", 80, "/"},
        {"HTTP://Host:1/a/b", false, "Host", 1, "/a/b"},
        {"https://host:8443/mall/index.php?op=exchangeing&id=3", true, "host", 8443,
         "/mall/index.php?op=exchangeing&id=3"},
        {"http://host?x=1", false, "host", 80, "/?x=1"},
        {"http://host/p#frag", false, "host", 80, "/p"},
        {"http://[::1]:81/x", false, "[::1]", 81, "/x"},
    };
    for (const auto& c : cases) {
        auto a = splitAddress(c.url);
        ASSERT_TRUE(a.ok()) << c.url << ": " << a.error().message;
        EXPECT_EQ(a->secure, c.secure) << c.url;
        EXPECT_EQ(a->host, c.host) << c.url;
        EXPECT_EQ(a->port, c.port) << c.url;
        EXPECT_EQ(a->path, c.path) << c.url;
    }
}

TEST(SplitAddress, Rejects) {
    for (const char* url :
         {"", "ftp://host/", "host/p", "http://", "http:///p", "http://:80/", "http://host:/",
          "http://host:0/", "http://host:65536/", "http://host:8x/", "http://user@host/",
          "http://ho st/", "http://host/a b", "http://host/\r\nX: y", "http://[::1/"}) {
        auto a = splitAddress(url);
        ASSERT_FALSE(a.ok()) << url;
        EXPECT_EQ(a.error().code, ErrorCode::BadAddress) << url;
    }
}

TEST(ChooseAgent, HeaderLineWins) {
    const std::pair<const char*, std::string> cases[] = {
        {"", std::string(kDefaultAgent)},
        {"User-Agent: X-Test", "X-Test"},
        {"Accept: */*\r\nUser-Agent: X-Test\r\nX-A: 1", "X-Test"},
        {"user-agent:X-Low", "X-Low"},
        {"X-Not-User-Agent: no", std::string(kDefaultAgent)},
    };
    for (const auto& [text, agent] : cases) {
        EXPECT_EQ(chooseAgent(text), agent) << text;
    }
}

PageRequest req(std::string headerText, std::string cookies = {}, std::string method = "GET") {
    PageRequest r;
    r.url = "http://h/p?q=1";
    r.headerText = std::move(headerText);
    r.cookies = std::move(cookies);
    r.method = std::move(method);
    return r;
}

const std::string kRef = "Referer: http://h/p?q=1";

TEST(CompleteHeaderText, OrderAndDefaults) {
    struct Case {
        const char* what;
        PageRequest request;
        std::string expected;
    };
    const Case cases[] = {
        {"empty text, no cookie", req(""), kRef + "\r\nAccept: */*\r\nAccept-Language: zh-cn"},
        {"own Accept kept, no second one", req("Accept: text/html", "a=1", "POST"),
         "Accept: text/html\r\n" + kRef +
             "\r\nAccept-Language: zh-cn\r\nContent-Type: application/x-www-form-urlencoded"
             "\r\nCookie: a=1"},
        {"Accept-Language does not count as Accept", req("Accept-Language: en"),
         "Accept-Language: en\r\n" + kRef + "\r\nAccept: */*"},
        {"own Referer and Content-Type", req("Referer: r\r\nContent-Type: text/plain", "", "POST"),
         "Referer: r\r\nContent-Type: text/plain\r\nAccept: */*\r\nAccept-Language: zh-cn"},
        {"names in any case", req("accept: x\r\nREFERER: y"),
         "accept: x\r\nREFERER: y\r\nAccept-Language: zh-cn"},
        {"a name inside a value is no header", req("X-Note: Accept: no"),
         "X-Note: Accept: no\r\n" + kRef + "\r\nAccept: */*\r\nAccept-Language: zh-cn"},
        {"Cookie from the string alone", req("Cookie: mine", "s=1; t=2"),
         "Cookie: mine\r\n" + kRef +
             "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nCookie: s=1; t=2"},
        {"User-Agent line stays", req("User-Agent: X-Test"),
         "User-Agent: X-Test\r\n" + kRef + "\r\nAccept: */*\r\nAccept-Language: zh-cn"},
        {"quote marker", req("X-Q: #引号a#引号"),
         "X-Q: \"a\"\r\n" + kRef + "\r\nAccept: */*\r\nAccept-Language: zh-cn"},
    };
    for (const auto& c : cases) {
        auto text = completeHeaderText(c.request);
        ASSERT_TRUE(text.ok()) << c.what << ": " << text.error().message;
        EXPECT_EQ(text.value(), c.expected) << c.what;
    }
}

TEST(CompleteHeaderText, RefererIsTheAddressAsSent) {
    auto r = req("");
    r.url = "http://h/p?x=#引号v#引号";
    EXPECT_EQ(completeHeaderText(r).value().substr(0, kRef.size() + 8),
              "Referer: http://h/p?x=%22v%22\r\n");
}

TEST(CompleteHeaderText, RefusesInjectedLines) {
    const PageRequest cases[] = {
        req("", "a=1\r\nX-Evil: 1"),
        req("", "a=1\nX-Evil: 1"),
        req("", "a=1\rb"),
        req("X-A: 1\nX-Evil: 1"),
        req("X-A: 1\rX-Evil: 1"),
        req("X-A: 1\r\n\r\nGET / HTTP/1.1"),
        req("X-A: 1\r\n"),
        req("no colon here"),
        req(": no name"),
        req("Bad Name: 1"),
        req(std::string("X-A: a\0b", 8)),
    };
    for (const auto& r : cases) {
        auto text = completeHeaderText(r);
        ASSERT_FALSE(text.ok()) << r.headerText << " / " << r.cookies;
        EXPECT_EQ(text.error().code, ErrorCode::BadInput);
    }
}

TEST(ReplyText, CookiesAndRedirect) {
    struct Case {
        const char* headers;
        const char* cookies;
        const char* redirect;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2; HttpOnly\r\n", "a=1; b=2",
         ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", "", ""},
        {"HTTP/1.1 302 Found\r\nLocation: http://x/y\r\nset-cookie: c=3\r\n", "c=3", "http://x/y"},
        {"HTTP/1.1 302 Found\r\nlocation:   /rel \r\nSet-Cookie: ;path=/\r\n", "", "/rel"},
        {"HTTP/1.1 200 OK\r\nX-Set-Cookie: no=1\r\nSet-Cookie:d=4;x\r\n", "d=4", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(replyCookies(c.headers), c.cookies) << c.headers;
        EXPECT_EQ(redirectTarget(c.headers), c.redirect) << c.headers;
    }
}

TEST(MergeCookies, Table) {
    struct Case {
        const char* held;
        const char* fresh;
        const char* merged;
    };
    const Case cases[] = {
        {"a=1; b=2", "a=deleted", "b=2"},
        {"a=1; b=2", "c=3", "a=1; b=2; c=3"},
        {"a=1; b=2", "a=9", "a=9; b=2"},
        {"a=1; b=2", "b=deleted; a=7; d=4", "a=7; d=4"},
        {"", "a=1; b=2", "a=1; b=2"},
        {"a=1", "", "a=1"},
        {" a=1 ;b=2 ", "  c=3  ", "a=1; b=2; c=3"},
        {"a=1;; b=2", ";", "a=1; b=2"},
        {"a=1", "x=deleted", "a=1"},
        {"a=1", "a=deletedX", "a=deletedX"},
        {"a=1", "flag", "a=1; flag"},
        {"a=1; a=2; b=3", "a=5", "a=5; b=3"},
        {"a=1; a=2", "a=deleted", ""},
        {"k=v=w", "k=x=y", "k=x=y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mergeCookies(c.held, c.fresh), c.merged) << c.held << " + " << c.fresh;
    }
}

TEST(QuoteMarker, Expands) {
    EXPECT_EQ(expandQuoteMarker("a#引号b#引号", "\""), "a\"b\"");
    EXPECT_EQ(expandQuoteMarker("#引号#引号", "%22"), "%22%22");
    EXPECT_EQ(expandQuoteMarker("#引 号", "\""), "#引 号");
}

}  // namespace
}  // namespace vellicor::web

namespace vellicor::web {
namespace {

// One reading for every place a proxy is set: what it goes through, how messages show it,
// and what is refused before anything is sent, naming the field and never the password.
TEST(ProxySettingText, KindsDisplayAndRefusals) {
    struct Case {
        std::string setting;
        std::string url;      // empty: refused
        std::string display;  // shown, or what the refusal says
    };
    const Case cases[] = {
        {"h:3128", "http://h:3128", "h:3128"},
        {"HTTP://u:p%40w@h:3128", "http://h:3128", "u:***@h:3128"},
        {"socks5h://u:pw@h:1080", "socks5h://h:1080", "socks5h://u:***@h:1080"},
        {"socks4://h:1080", "", "http.proxy \"h:1080\" has a scheme other than"},
        {"u:p@w@h:1", "", "http.proxy \"u:***@h:1\" has a raw '@', ':' or '/'"},
        {"u:p:w@h:1", "", "has a raw '@', ':' or '/'"},
        {"u:p/w@h:1", "", "has a raw '@', ':' or '/'"},
        {"u:secret", "", "http.proxy is not"},
        {"h:3128/", "", "http.proxy is not"},
    };
    for (const Case& c : cases) {
        auto parsed = parseProxy(c.setting, "http.proxy");
        if (c.url.empty()) {
            ASSERT_FALSE(parsed.ok()) << c.setting;
            EXPECT_EQ(parsed.error().code, ErrorCode::BadInput);
            EXPECT_NE(parsed.error().message.find(c.display), std::string::npos)
                << parsed.error().message;
            for (const char* secret : {"secret", "p@w", "p:w", "p/w"}) {
                EXPECT_EQ(parsed.error().message.find(secret), std::string::npos)
                    << parsed.error().message;
            }
            continue;
        }
        ASSERT_TRUE(parsed.ok()) << c.setting << ": " << parsed.error().message;
        EXPECT_EQ(parsed->url, c.url);
        EXPECT_EQ(parsed->display, c.display);
    }
}

}  // namespace
}  // namespace vellicor::web
