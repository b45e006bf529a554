// The request bytes the engine writes on its own connections, and the reader of what comes
// back: the same request and the same reply a libcurl transfer would give.

#include <gtest/gtest.h>

#include "web/wire.h"

namespace vellicor::web {
namespace {

struct BytesCase {
    const char* name;
    PageRequest request;
    std::vector<std::string> has;     // lines (or the body) the bytes must hold
    std::vector<std::string> hasNot;  // parts they must not
    std::string startsWith;
};

std::vector<BytesCase> bytesCases() {
    const std::string agent = "User-Agent: " + std::string(kDefaultAgent) + "\r\n";
    return {
        {"default port leaves the host bare",
         {"http://mall.example/mall/index.php?op=x", "GET", "", "uin=o1; skey=k", "", ""},
         {"Host: mall.example\r\n", agent, "Cookie: uin=o1; skey=k\r\n",
          "Referer: http://mall.example/mall/index.php?op=x\r\n"},
         {"Content-Length", "Content-Type"},
         "GET /mall/index.php?op=x HTTP/1.1\r\n"},
        {"other port is named",
         {"https://127.0.0.1:8443/", "GET", "", "", "", ""},
         {"Host: 127.0.0.1:8443\r\n"},
         {"Cookie:"},
         "GET / HTTP/1.1\r\n"},
        {"caller's agent once, empty value as curl writes it",
         {"http://h/x", "GET", "", "", "User-Agent: mine\r\nX-Empty:", ""},
         {"User-Agent: mine\r\n", "X-Empty:\r\n"},
         {std::string(kDefaultAgent)},
         "GET /x HTTP/1.1\r\n"},
        {"post carries its length and the quote marker expanded",
         {"http://h/p", "POST", "a=#引号b#引号", "", "", ""},
         {"Content-Length: 5\r\n", "Content-Type: application/x-www-form-urlencoded\r\n",
          "\r\n\r\na=\"b\""},
         {},
         "POST /p HTTP/1.1\r\n"},
    };
}

TEST(RequestBytes, SameLinesAsATransfer) {
    for (const auto& c : bytesCases()) {
        SCOPED_TRACE(c.name);
        auto bytes = requestBytes(c.request);
        ASSERT_TRUE(bytes.ok()) << bytes.error().message;
        EXPECT_EQ(bytes->rfind(c.startsWith, 0), 0u) << *bytes;
        for (const auto& part : c.has) {
            EXPECT_NE(bytes->find(part), std::string::npos) << part << "\n" << *bytes;
        }
        for (const auto& part : c.hasNot) {
            EXPECT_EQ(bytes->find(part), std::string::npos) << part << "\n" << *bytes;
        }
        if (c.request.method == "GET") {
            EXPECT_EQ(bytes->find("\r\n\r\n"), bytes->size() - 4) << "a GET ends at its blank line";
        }
    }
}

TEST(RequestBytes, RefusesWhatWouldSmuggleLines) {
    const std::vector<PageRequest> bad = {
        {"http://h/x", "GET", "", "a=1\r\nX-Evil: 1", "", ""},
        {"http://h/x", "GET", "", "", "X-A: 1\nX-Evil: 1", ""},
        {"http://h/x y", "GET", "", "", "", ""},
        {"http://h/x", "PUT", "", "", "", ""},
    };
    for (const auto& request : bad) {
        EXPECT_FALSE(requestBytes(request).ok()) << request.url << " " << request.headerText;
    }
}

struct ReadCase {
    const char* name;
    std::string stream;
    bool close;  // the peer closes after the bytes
    ReplyReader::State state;
    long status;
    std::string body;
    bool keepAlive;
    ErrorCode error = ErrorCode::None;
};

std::vector<ReadCase> readCases() {
    using S = ReplyReader::State;
    return {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, S::Done, 200,
         "hello", true},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhe\r\n3\r\nllo\r\n0\r\n\r\n",
         false, S::Done, 200, "hello", true},
        {"until the close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhello", true, S::Done, 200,
         "hello", false},
        {"interim reply skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n", false,
         S::Done, 503, "", true},
        {"old version closes", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, S::Done,
         200, "ok", false},
        {"still coming", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhel", false, S::More, 0, "",
         false},
        {"cut off at the close", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhel", true, S::Failed,
         0, "", false, ErrorCode::Transfer},
        {"chunked cut off", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", true,
         S::Failed, 0, "", false, ErrorCode::Transfer},
        {"closed without a word", "", true, S::Failed, 0, "", false, ErrorCode::Transfer},
        {"garbage status line", "SPDY/9 what\r\n\r\n", false, S::Failed, 0, "", false,
         ErrorCode::Transfer},
        {"announced body over the cap", "HTTP/1.1 200 OK\r\nContent-Length: 99999\r\n\r\nx", false,
         S::Failed, 0, "", false, ErrorCode::TooLarge},
        {"unannounced body over the cap",
         "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(70, 'x'), false, S::Failed, 0,
         "", false, ErrorCode::TooLarge},
    };
}

TEST(ReplyReader, ReadsWholeOrInBytesAlike) {
    HttpSettings settings;
    settings.maxBodyBytes = 64;
    for (const auto& c : readCases()) {
        for (const std::size_t step : {c.stream.size() + 1, std::size_t{1}}) {
            SCOPED_TRACE(std::string(c.name) + (step == 1 ? ", a byte at a time" : ", whole"));
            ReplyReader reader("http://127.0.0.1:9/x", settings);
            for (std::size_t at = 0; at < c.stream.size(); at += step) {
                reader.feed(std::string_view(c.stream).substr(at, step));
            }
            const auto state = c.close ? reader.end() : reader.state();
            ASSERT_EQ(state, c.state);
            if (state == ReplyReader::State::More) {
                continue;
            }
            EXPECT_EQ(reader.keepAlive(), c.keepAlive);
            auto reply = reader.take();
            if (c.error != ErrorCode::None) {
                ASSERT_FALSE(reply.ok());
                EXPECT_EQ(reply.error().code, c.error) << reply.error().message;
                EXPECT_NE(reply.error().message.find("127.0.0.1:9"), std::string::npos);
                continue;
            }
            ASSERT_TRUE(reply.ok()) << reply.error().message;
            EXPECT_EQ(reply->status, c.status);
            EXPECT_EQ(reply->body, c.body);
        }
    }
}

TEST(ReplyReader, HeaderTextCookiesAndRedirectAsATransferGivesThem) {
    ReplyReader reader("http://127.0.0.1:9/mall/a/index.php?x=1", HttpSettings{});
    reader.feed(
        "HTTP/1.1 302 Found\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n"
        "Location: next.php\r\nRetry-After: 3\r\nContent-Length: 0\r\n\r\n");
    auto reply = reader.take();
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(reply->headerText.rfind("HTTP/1.1 302 Found\r\n", 0), 0u);
    EXPECT_NE(reply->headerText.find("Retry-After: 3\r\n"), std::string::npos);
    EXPECT_EQ(reply->cookies, "a=1; b=2");
    EXPECT_EQ(reply->redirect, "http://127.0.0.1:9/mall/a/next.php");
}

}  // namespace
}  // namespace vellicor::web
