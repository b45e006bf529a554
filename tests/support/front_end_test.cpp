// The front ends serve the simulator's pages: nginx over each way of listening, with the
// mall's own Date and Server headers and the client's Host and Cookie reaching the mall;
// nginx as sites run it, Apache httpd and HAProxy over TLS by either protocol, each with the
// Date it really sends; the relay resets what it carries and carries what comes next.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "front_end.h"
#include "loopback_server.h"
#include "nginx_front.h"
#include "resetting_relay.h"

#include "platform/clock.h"
#include "portal/server.h"

namespace vellicor::test {
namespace {

struct Fetched {
    long status = 0;
    long version = 0;
    std::string head;
    std::string body;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* into) {
    static_cast<std::string*>(into)->append(data, size * count);
    return size * count;
}

Fetched fetch(const std::string& url, long httpVersion) {
    Fetched f;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, httpVersion);
    curl_easy_setopt(easy, CURLOPT_CAINFO, tlsCaFile().c_str());
    curl_easy_setopt(easy, CURLOPT_COOKIE, "uin=o1; skey=k");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &f.body);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &f.head);
    if (curl_easy_perform(easy) == CURLE_OK) {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &f.status);
        curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &f.version);
    }
    curl_easy_cleanup(easy);
    return f;
}

TEST(NginxFront, ServesTheSimulatorEachWay) {
    using Listen = NginxOptions::Listen;
    struct Case {
        const char* what;
        Listen listen;
        bool http2;
        long ask;
        long settled;
    };
    const Case cases[] = {
        {"TLS, h2 by ALPN", Listen::Tls, true, CURL_HTTP_VERSION_2TLS, CURL_HTTP_VERSION_2_0},
        {"TLS, http/1.1 by ALPN", Listen::Tls, true, CURL_HTTP_VERSION_1_1, CURL_HTTP_VERSION_1_1},
        {"TLS, http2 off", Listen::Tls, false, CURL_HTTP_VERSION_2TLS, CURL_HTTP_VERSION_1_1},
        {"plain HTTP/1.1", Listen::Plain, false, CURL_HTTP_VERSION_1_1, CURL_HTTP_VERSION_1_1},
        {"plain h2c, prior knowledge", Listen::PlainH2c, true, CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE,
         CURL_HTTP_VERSION_2_0},
    };
    // The mall's clock stands still on a day nginx's own clock cannot show.
    MockClock clock(Clock::WallTime{std::chrono::seconds(1714528798)});
    portal::ServerOptions simulator;
    simulator.clock = &clock;
    auto mall = portal::Server::start(simulator);
    ASSERT_TRUE(mall.ok()) << mall.error().message;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NginxOptions o;
        o.listen = c.listen;
        o.http2 = c.http2;
        o.upstreamPort = (*mall)->port();
        auto front = NginxFront::start(o);
        ASSERT_TRUE(front.ok()) << front.error().message;
        (*mall)->clearLog();
        const auto got = fetch((*front)->baseUrl() + "/mall/index.php", c.ask);
        EXPECT_EQ(got.status, 200) << (*front)->errorLog();
        EXPECT_EQ(got.version, c.settled);
        EXPECT_NE(got.head.find("Wed, 01 May 2024 01:59:58 GMT"), std::string::npos) << got.head;
        EXPECT_NE(got.head.find("vellicor-portal"), std::string::npos) << got.head;
        EXPECT_FALSE(got.body.empty());
        const auto log = (*mall)->log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].header("Host"), "127.0.0.1:" + std::to_string((*front)->port()));
        EXPECT_EQ(log[0].cookies, "uin=o1; skey=k");
    }
}

TEST(NginxFront, StopsWithItsWorkersAndLeavesNoFolder) {
    auto mall = portal::Server::start();
    ASSERT_TRUE(mall.ok()) << mall.error().message;
    NginxOptions o;
    o.upstreamPort = (*mall)->port();
    std::string folder;
    std::uint16_t port = 0;
    {
        auto front = NginxFront::start(o);
        ASSERT_TRUE(front.ok()) << front.error().message;
        folder = (*front)->folder();
        port = (*front)->port();
        EXPECT_EQ(fetch((*front)->baseUrl() + "/", CURL_HTTP_VERSION_2TLS).status, 200);
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_EQ(
        fetch("https://127.0.0.1:" + std::to_string(port) + "/", CURL_HTTP_VERSION_2TLS).status, 0);
}

constexpr const char* kMallDate = "Wed, 01 May 2024 01:59:58 GMT";

struct KindCase {
    FrontKind kind;
    bool mallsDate;  // the mall's Date reaches the client, not one the front end stamped
};

TEST(FrontEnds, ServeTheSimulatorOverEitherProtocolWithTheDateTheyReallySend) {
    const KindCase cases[] = {
        {FrontKind::Nginx, false}, {FrontKind::Apache, true}, {FrontKind::Haproxy, true}};
    MockClock clock(Clock::WallTime{std::chrono::seconds(1714528798)});
    portal::ServerOptions simulator;
    simulator.clock = &clock;
    auto mall = portal::Server::start(simulator);
    ASSERT_TRUE(mall.ok()) << mall.error().message;
    for (const auto& c : cases) {
        SCOPED_TRACE(frontName(c.kind));
        FrontOptions o;
        o.kind = c.kind;
        o.upstreamPort = (*mall)->port();
        o.maxConcurrentStreams = 8;
        o.keepaliveRequests = 20;
        o.keepaliveTimeoutSeconds = 2;
        auto front = startFrontEnd(o);
        ASSERT_TRUE(front.ok()) << front.error().message;
        (*mall)->clearLog();
        for (const long ask : {CURL_HTTP_VERSION_2TLS, CURL_HTTP_VERSION_1_1}) {
            const auto got = fetch((*front)->baseUrl() + "/mall/index.php?op=front", ask);
            EXPECT_EQ(got.status, 200) << (*front)->errorLog();
            EXPECT_EQ(got.version,
                      ask == CURL_HTTP_VERSION_1_1 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_2_0);
            EXPECT_EQ(got.head.find(kMallDate) != std::string::npos, c.mallsDate) << got.head;
            std::string head = got.head;
            std::transform(head.begin(), head.end(), head.begin(),
                           [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
            EXPECT_NE(head.find("\ndate: "), std::string::npos) << got.head;
        }
        EXPECT_EQ((*mall)->log().size(), 2u);
        EXPECT_TRUE((*front)->awaitAccessLines("/mall/index.php?op=front", 2))
            << (*front)->accessLog();
    }
}

TEST(FrontEnds, FailAtOnceNamingAProgramThatIsNotThere) {
    for (const FrontKind kind : {FrontKind::Nginx, FrontKind::Apache, FrontKind::Haproxy}) {
        SCOPED_TRACE(frontName(kind));
        FrontOptions o;
        o.kind = kind;
        o.upstreamPort = 1;
        o.binary = "/nonexistent/" + frontName(kind);
        const auto front = startFrontEnd(o);
        ASSERT_FALSE(front.ok());
        EXPECT_EQ(front.error().code, ErrorCode::Unavailable);
        EXPECT_NE(front.error().message.find(o.binary), std::string::npos) << front.error().message;
    }
}

std::string exchangeOnce(int fd) {
    const std::string ask = "GET /mall/index.php HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (!sendAll(fd, nullptr, ask)) {
        return {};
    }
    char block[4096];
    const long n = ::recv(fd, block, sizeof block, 0);
    return n > 0 ? std::string(block, static_cast<std::size_t>(n)) : std::string();
}

TEST(ResettingRelay, ResetsWhatItCarriesAndCarriesWhatComesNext) {
    auto mall = portal::Server::start();
    ASSERT_TRUE(mall.ok()) << mall.error().message;
    auto relay = ResettingRelay::start((*mall)->port());
    ASSERT_TRUE(relay.ok()) << relay.error().message;
    const int first = connectLoopback((*relay)->port());
    ASSERT_GE(first, 0);
    EXPECT_NE(exchangeOnce(first).find("HTTP/1.1 200"), std::string::npos);
    EXPECT_EQ((*relay)->resetAll(), 1);
    char byte = 0;
    EXPECT_EQ(::recv(first, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    ::close(first);

    const int next = connectLoopback((*relay)->port());
    ASSERT_GE(next, 0);
    EXPECT_NE(exchangeOnce(next).find("HTTP/1.1 200"), std::string::npos);
    ::close(next);
    EXPECT_EQ((*relay)->accepted(), 2);
    EXPECT_EQ((*relay)->reset(), 1);
}

}  // namespace
}  // namespace vellicor::test
