// The page request against small loopback servers that show exactly what went on the wire
// and misbehave on purpose.
#include <gtest/gtest.h>

#include <thread>

#include "raw_server.h"
#include "web/page_request.h"
#include "web/transfer.h"

namespace vellicor::web {
namespace {

using test::Connection;
using test::RawServer;

HttpSettings quick() {
    HttpSettings s;
    s.connectTimeoutMs = 2000;
    s.totalTimeoutMs = 5000;
    return s;
}

std::string head(const std::string& request) {
    return request.substr(0, request.find("\r\n\r\n") + 4);
}

struct WireCase {
    const char* what;
    std::string method;
    std::string headerText;
    std::string cookies;
    std::string body;
    std::string expectedLines;  // after Host and the default agent, before the blank line
};

// The defaults as the portal receives them are in portal_test; these are the byte-exact cases.
TEST(Wire, HeadersAsReceived) {
    RawServer server(test::echoRequest());
    const std::string ref = "Referer: " + server.url("/p?q=1") + "\r\n";
    const std::string agent = "User-Agent: " + std::string(kDefaultAgent) + "\r\n";
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    const WireCase cases[] = {
        {"empty POST", "POST", "", "", "",
         ref + "Accept: */*\r\nAccept-Language: zh-cn\r\n" + form + "Content-Length: 0\r\n"},
        {"GET drops a body", "GET", "", "", "ignored",
         ref + "Accept: */*\r\nAccept-Language: zh-cn\r\n"},
        {"empty value goes out as written", "GET", "X-Empty:", "", "",
         "X-Empty:\r\n" + ref + "Accept: */*\r\nAccept-Language: zh-cn\r\n"},
        {"quote marker in header and body", "POST", "X-Q: #引号", "", "v=#引号",
         "X-Q: \"\r\n" + ref + "Accept: */*\r\nAccept-Language: zh-cn\r\n" + form +
             "Content-Length: 3\r\n"},
        {"large body, no Expect", "POST", "", "", std::string(70000, 'x'),
         ref + "Accept: */*\r\nAccept-Language: zh-cn\r\n" + form + "Content-Length: 70000\r\n"},
    };
    for (const auto& c : cases) {
        PageRequest r{server.url("/p?q=1"), c.method, c.body, c.cookies, c.headerText, ""};
        auto reply = pageRequest(r, quick());
        ASSERT_TRUE(reply.ok()) << c.what << ": " << reply.error().message;
        const std::string firstLine = c.method + " /p?q=1 HTTP/1.1\r\n";
        const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
        EXPECT_EQ(head(reply->body), firstLine + host + agent + c.expectedLines + "\r\n") << c.what;
        const std::string sentBody = reply->body.substr(head(reply->body).size());
        EXPECT_EQ(sentBody, c.method == "POST" ? expandQuoteMarker(c.body, "\"") : "") << c.what;
    }
}

TEST(Wire, ReplyCookiesRedirectNotFollowed) {
    RawServer server(test::replyWith(test::httpReply(
        "302 Found",
        "Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2; HttpOnly\r\nLocation: /next?x=1\r\n",
        "moved")));
    auto reply = pageRequest({server.url("/from"), "GET", "", "", "", ""}, quick());
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(reply->status, 302);
    EXPECT_EQ(reply->cookies, "a=1; b=2");
    EXPECT_EQ(reply->redirect, server.url("/next?x=1"));
    EXPECT_EQ(reply->body, "moved");
    EXPECT_EQ(reply->headerText.substr(0, 20), "HTTP/1.1 302 Found\r\n");
    EXPECT_EQ(reply->headerText.substr(reply->headerText.size() - 4), "se\r\n");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(Wire, OnlyTheFinalReplysHeaders) {
    RawServer server(test::replyWith("HTTP/1.1 100 Continue\r\n\r\n" +
                                     test::httpReply("200 OK", "X-Final: 1\r\n", "ok")));
    auto reply = pageRequest({server.url(), "GET", "", "", "", ""}, quick());
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(reply->headerText,
              "HTTP/1.1 200 OK\r\nX-Final: 1\r\nContent-Length: 2\r\nConnection: close\r\n");
    EXPECT_EQ(reply->cookies, "");
    EXPECT_EQ(reply->redirect, "");
}

TEST(Wire, ThroughProxy) {
    RawServer target(test::echoRequest());
    RawServer proxy(test::forwardingProxy());
    const std::string proxyAddr = "127.0.0.1:" + std::to_string(proxy.port());
    HttpSettings viaSettings = quick();
    viaSettings.proxy = proxyAddr;
    const std::pair<PageRequest, HttpSettings> cases[] = {
        {{target.url("/p"), "GET", "", "", "", proxyAddr}, quick()},
        {{target.url("/p"), "GET", "", "", "", ""}, viaSettings},
    };
    for (const auto& [request, settings] : cases) {
        auto reply = pageRequest(request, settings);
        ASSERT_TRUE(reply.ok()) << reply.error().message;
        EXPECT_EQ(reply->body.substr(0, 17), "GET /p HTTP/1.1\r\n");
    }
    ASSERT_EQ(proxy.requests().size(), 2u);
    // Nothing of the library's own joins the header text on the way through the proxy.
    const std::string expected = "GET " + target.url("/p") +
                                 " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(target.port()) +
                                 "\r\nUser-Agent: " + std::string(kDefaultAgent) +
                                 "\r\nReferer: " + target.url("/p") +
                                 "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n\r\n";
    for (const auto& seen : proxy.requests()) {
        EXPECT_EQ(seen, expected);
    }
}

// Holds the connection without a word until the test's server goes away.
RawServer::Script silent(RawServer*& self) {
    return [&self](Connection&, const std::string&) { self->waitForStop(); };
}

RawServer::Script cutBody() {
    return [](Connection& c, const std::string&) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten..");
    };
}

RawServer::Script endlessBody() {
    return [](Connection& c, const std::string&) {
        if (!c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) {
            return;
        }
        const std::string block(4096, 'z');
        for (int i = 0; i < 4096 && c.send(block); ++i) {
        }
    };
}

RawServer::Script resetAfterHead() {
    return [](Connection& c, const std::string&) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npart");
        c.reset();
    };
}

struct FaultCase {
    const char* what;
    RawServer::Script script;
    ErrorCode code;
};

TEST(Wire, FaultsAreClearErrors) {
    RawServer* holder = nullptr;
    FaultCase cases[] = {
        {"never answers", silent(holder), ErrorCode::Timeout},
        {"closed mid-body", cutBody(), ErrorCode::Transfer},
        {"declared body over the cap",
         test::replyWith(test::httpReply("200 OK", "", std::string(5000, 'b'))),
         ErrorCode::TooLarge},
        {"streamed body over the cap", endlessBody(), ErrorCode::TooLarge},
        {"reset mid-body", resetAfterHead(), ErrorCode::Transfer},
        {"closed without a reply", [](Connection&, const std::string&) {}, ErrorCode::Transfer},
    };
    HttpSettings settings = quick();
    settings.totalTimeoutMs = 300;
    settings.maxBodyBytes = 1000;
    for (auto& c : cases) {
        RawServer server(c.script);
        holder = &server;
        auto reply = pageRequest({server.url(), "GET", "", "", "", ""}, settings);
        ASSERT_FALSE(reply.ok()) << c.what;
        EXPECT_EQ(reply.error().code, c.code) << c.what << ": " << reply.error().message;
        EXPECT_NE(reply.error().message.find("127.0.0.1:"), std::string::npos) << c.what;
    }
}

TEST(Wire, RefusedAndRejectedBeforeSending) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    RawServer server(test::echoRequest());
    const std::pair<PageRequest, ErrorCode> cases[] = {
        {{refused, "GET", "", "", "", ""}, ErrorCode::Connect},
        {{"http//127.0.0.1/", "GET", "", "", "", ""}, ErrorCode::BadAddress},
        {{server.url(), "PUT", "", "", "", ""}, ErrorCode::BadInput},
        {{server.url(), "GET", "", "a=1\r\nX-Evil: 1", "", ""}, ErrorCode::BadInput},
        {{server.url(), "GET", "", "", "X-A: 1\nX-Evil: 1", ""}, ErrorCode::BadInput},
        {{server.url(), "GET", "", "", "", "no-port"}, ErrorCode::BadInput},
    };
    for (const auto& [request, code] : cases) {
        auto reply = pageRequest(request, quick());
        ASSERT_FALSE(reply.ok()) << request.url;
        EXPECT_EQ(reply.error().code, code) << reply.error().message;
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST(Wire, ManyThreadsAtOnce) {
    RawServer server(test::echoRequest());
    constexpr int kThreads = 24;
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string cookie = "n=" + std::to_string(i);
            auto reply = pageRequest({server.url("/t"), "GET", "", cookie, "", ""}, quick());
            ok[i] =
                reply.ok() && reply->body.find("Cookie: " + cookie + "\r\n") != std::string::npos;
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(std::count(ok.begin(), ok.end(), 1), kThreads);
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kThreads));
}

TEST(Wire, TransferSentAgainAfterReset) {
    RawServer server(test::replyWith(test::httpReply("200 OK", "Set-Cookie: s=1\r\n", "body")));
    auto t = Transfer::prepare({server.url("/again"), "GET", "", "", "", ""}, quick());
    ASSERT_TRUE(t.ok()) << t.error().message;
    CURLM* multi = curl_multi_init();
    for (int round = 0; round < 2; ++round) {
        t.value()->reset();
        curl_multi_add_handle(multi, t.value()->handle());
        int running = 1;
        while (running > 0) {
            curl_multi_perform(multi, &running);
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
        int left = 0;
        CURLMsg* msg = curl_multi_info_read(multi, &left);
        ASSERT_NE(msg, nullptr);
        auto reply = t.value()->finish(msg->data.result);
        curl_multi_remove_handle(multi, t.value()->handle());
        ASSERT_TRUE(reply.ok()) << reply.error().message;
        EXPECT_EQ(reply->body, "body");
        EXPECT_EQ(reply->cookies, "s=1");
    }
    curl_multi_cleanup(multi);
    EXPECT_EQ(server.requests().size(), 2u);
}

const std::string kTls = VELLICOR_TEST_TLS_DIR;

TEST(Wire, HttpsVerifiesTheCertificate) {
    RawServer server(test::replyWith(test::httpReply("200 OK", "", "secret")), kTls + "/server.pem",
                     kTls + "/server.key");
    HttpSettings trusted = quick();
    trusted.caFile = kTls + "/ca.pem";
    auto reply = pageRequest({server.url("/s"), "GET", "", "", "", ""}, trusted);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(reply->body, "secret");

    auto untrusted = pageRequest({server.url("/s"), "GET", "", "", "", ""}, quick());
    ASSERT_FALSE(untrusted.ok());
    EXPECT_EQ(untrusted.error().code, ErrorCode::Tls) << untrusted.error().message;
}

}  // namespace
}  // namespace vellicor::web
