// The engine's own HTTP/2 connections: against a real nginx before the simulator, and
// against scripted peers that misbehave in the ways a front end or an attacker might.
#include "web/h2_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>

#include "h2_peer.h"
#include "nginx_front.h"
#include "platform/clock.h"
#include "portal/server.h"
#include "web/h2_session.h"
#include "web/packet_plan.h"

namespace vellicor::web {
namespace {

using Event = H2Connection::Event;
using Kind = Event::Kind;
using Phase = H2Connection::Phase;
using test::NginxFront;
using test::NginxOptions;
namespace h2 = test::h2;

constexpr auto kLimit = std::chrono::seconds(15);

bool ended(Phase p) {
    return p != Phase::Opening && p != Phase::Ready;
}

// Polls and services the connection until `done` holds or it ends; bounded in time.
template <typename Done>
void drive(H2Connection& c, std::vector<Event>& events, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (ended(c.phase())) {
            c.service(0, events);  // what a flush that failed left behind
            return;
        }
        pollfd p{c.fd(), c.events(), 0};
        ::poll(&p, 1, 20);
        c.service(p.revents, events);
    }
}

struct Opened {
    std::unique_ptr<H2Connection> connection;
    Phase phase = Phase::Failed;
    Error error;
};

Opened open(const std::string& url, HttpSettings http, const std::string& host = {},
            bool offerHttp1 = true) {
    H2Endpoint e;
    e.address = splitAddress(url).value();
    if (!host.empty()) {
        e.address.host = host;
    }
    e.numeric = {"127.0.0.1"};
    e.http = std::move(http);
    e.offerHttp1 = offerHttp1;
    auto started = H2Connection::start(e);
    Opened o;
    if (!started) {
        o.error = started.error();
        return o;
    }
    o.connection = std::move(started.value());
    std::vector<Event> none;
    drive(*o.connection, none, [&] { return o.connection->phase() != Phase::Opening; });
    o.phase = o.connection->phase();
    o.error = o.connection->error();
    return o;
}

HttpSettings trusting() {
    HttpSettings http;
    http.caFile = test::tlsCaFile();
    return http;
}

H2Request get(const std::string& url, const std::string& cookies = {}) {
    return h2Request({url, "GET", "", cookies, "", ""}).value();
}

// Every event by tag; a tag reported twice fails the test.
std::map<std::uint64_t, Event> byTag(std::vector<Event>& events) {
    std::map<std::uint64_t, Event> out;
    for (auto& e : events) {
        EXPECT_TRUE(out.emplace(e.tag, std::move(e)).second) << "stream " << e.tag << " twice";
    }
    return out;
}

std::string what(const Event& e) {
    return e.reply ? e.reply->headerText : e.reply.error().message;
}

class NginxH2Test : public ::testing::Test {
  protected:
    void SetUp() override {
        auto started = portal::Server::start();
        ASSERT_TRUE(started.ok()) << started.error().message;
        mall_ = std::move(started.value());
    }
    std::unique_ptr<NginxFront> front(NginxOptions o) {
        o.upstreamPort = mall_->port();
        auto f = NginxFront::start(o);
        EXPECT_TRUE(f.ok()) << f.error().message;
        return f ? std::move(f.value()) : nullptr;
    }
    std::unique_ptr<portal::Server> mall_;
};

TEST_F(NginxH2Test, AWaveOfStreamsInOneFlushEachWithItsReply) {
    constexpr int kStreams = 24;
    for (const bool holdEnd : {false, true}) {
        SCOPED_TRACE(holdEnd ? "ends held" : "ends at once");
        auto nginx = front({});
        ASSERT_TRUE(nginx);
        auto o = open(nginx->baseUrl(), trusting());
        ASSERT_EQ(o.phase, Phase::Ready) << o.error.message;
        H2Connection& c = *o.connection;
        EXPECT_EQ(c.alpn(), "h2");
        EXPECT_EQ(c.maxStreams(), 128u);
        mall_->clearLog();
        const std::string cookie = mall_->sessionCookie().value();
        const std::string page = nginx->baseUrl() + "/mall/index.php";
        for (int i = 0; i < kStreams; ++i) {
            ASSERT_TRUE(c.submit(get(page + "?n=" + std::to_string(i), cookie), i, holdEnd).ok());
        }
        const std::string login = std::string("u=") + portal::kDemoAccount +
                                  "&p=" + portal::kDemoPassword + "&s_url=%2Fmall%2Frecord.php";
        auto post =
            h2Request({nginx->baseUrl() + "/cgi-bin/login_submit", "POST", login, "", "", ""});
        ASSERT_TRUE(c.submit(post.value(), kStreams, holdEnd).ok());
        EXPECT_EQ(c.openStreams(), kStreams + 1u);
        ASSERT_TRUE(c.flush());
        EXPECT_EQ(c.pendingBytes(), 0u);
        std::vector<Event> events;
        if (holdEnd) {
            c.releaseEnds();
            ASSERT_TRUE(c.flush());
        }
        drive(c, events, [&] { return events.size() == kStreams + 1u; });
        auto got = byTag(events);
        ASSERT_EQ(got.size(), kStreams + 1u);
        for (int i = 0; i < kStreams; ++i) {
            const Event& e = got.at(i);
            ASSERT_EQ(e.kind, Kind::Reply) << what(e);
            EXPECT_EQ(e.reply->status, 200);
            EXPECT_EQ(e.reply->headerText.rfind("HTTP/2 200\r\n", 0), 0u);
            EXPECT_NE(e.reply->headerText.find("\r\ndate: "), std::string::npos);
            EXPECT_FALSE(e.reply->body.empty());
        }
        const Event& loggedIn = got.at(kStreams);
        ASSERT_EQ(loggedIn.kind, Kind::Reply) << what(loggedIn);
        EXPECT_EQ(loggedIn.reply->status, 302);
        EXPECT_EQ(loggedIn.reply->redirect, nginx->baseUrl() + "/mall/record.php");
        EXPECT_EQ(loggedIn.reply->cookies.rfind("uin=o10001; skey=", 0), 0u)
            << loggedIn.reply->cookies;
        EXPECT_EQ(c.openStreams(), 0u);
        const auto log = mall_->log();
        ASSERT_EQ(log.size(), kStreams + 1u);
        for (const auto& r : log) {
            if (r.method == "GET") {
                EXPECT_EQ(r.cookies, cookie);
                EXPECT_EQ(r.header("User-Agent"), std::string(kDefaultAgent));
            }
        }
    }
}

TEST_F(NginxH2Test, WhatALPNAndTheCertificateSettle) {
    struct Case {
        const char* what;
        NginxOptions::Listen listen;
        bool http2;
        bool trust;
        std::string host;  // the name checked against the certificate; empty: 127.0.0.1
        Phase phase;
        std::string alpn;
        ErrorCode code;
        std::string says;
        bool offerHttp1 = true;
    };
    using Listen = NginxOptions::Listen;
    const Case cases[] = {
        {"h2 by ALPN", Listen::Tls, true, true, "", Phase::Ready, "h2", ErrorCode::None, ""},
        {"a name of the certificate", Listen::Tls, true, true, "localhost", Phase::Ready, "h2",
         ErrorCode::None, ""},
        {"http2 off", Listen::Tls, false, true, "", Phase::Http1, "http/1.1", ErrorCode::None, ""},
        {"system store only", Listen::Tls, true, false, "", Phase::Failed, "", ErrorCode::Tls,
         "certificate problem"},
        {"a name the certificate lacks", Listen::Tls, true, true, "mall.invalid", Phase::Failed, "",
         ErrorCode::Tls, "hostname mismatch"},
        {"an address the certificate lacks", Listen::Tls, true, true, "127.0.0.2", Phase::Failed,
         "", ErrorCode::Tls, "IP address mismatch"},
        {"h2c by prior knowledge", Listen::PlainH2c, true, false, "", Phase::Ready, "",
         ErrorCode::None, ""},
        {"h2 alone offered to an http/1.1 front", Listen::Tls, false, true, "", Phase::Failed, "",
         ErrorCode::Tls, "no application protocol", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NginxOptions n;
        n.listen = c.listen;
        n.http2 = c.http2;
        auto nginx = front(n);
        ASSERT_TRUE(nginx);
        auto o =
            open(nginx->baseUrl(), c.trust ? trusting() : HttpSettings{}, c.host, c.offerHttp1);
        ASSERT_EQ(o.phase, c.phase) << o.error.message;
        EXPECT_EQ(o.connection->alpn(), c.alpn);
        if (c.phase == Phase::Failed) {
            EXPECT_EQ(o.error.code, c.code);
            EXPECT_NE(o.error.message.find("secure connection failed (" +
                                           (c.host.empty() ? "127.0.0.1" : c.host)),
                      std::string::npos)
                << o.error.message;
            EXPECT_NE(o.error.message.find(c.says), std::string::npos) << o.error.message;
        }
        if (c.phase != Phase::Ready) {
            continue;
        }
        ASSERT_TRUE(o.connection->submit(get(nginx->baseUrl() + "/mall/index.php"), 7).ok());
        ASSERT_TRUE(o.connection->flush());
        std::vector<Event> events;
        drive(*o.connection, events, [&] { return !events.empty(); });
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Kind::Reply) << what(events[0]);
    }
}

// --- scripted peers -------------------------------------------------------------------

// What a scripted peer saw, for the test to look at after its script ran.
struct Seen {
    std::mutex mutex;
    std::vector<test::Frame> frames;
    std::string headersRead;
};

struct PeerCase {
    const char* what;
    int streams;
    std::function<void(test::PeerConnection&)> script;
    std::vector<Kind> expect;  // by tag
    std::string says;          // in every error text; empty: not checked
    bool tooLarge = false;     // the failures are TooLarge
    bool holdEnd = false;      // streams go with their ends held, released after the events
};

std::string hello() {
    return h2::settings({{3, 100}}) + h2::settingsAck();
}

// An HPACK block that inserts a 4,000-byte field into the dynamic table and then names it
// by its index thousands of times: a few KiB on the wire, megabytes of header decoded.
std::string headerBomb(std::uint32_t stream) {
    std::string block = h2::headerBlock({{":status", "200"}});
    block += '\x40';  // literal with incremental indexing, new name
    block += '\x01';
    block += 'x';
    block += '\x7f';  // value length 4000 = 127 + 3873
    for (std::size_t v = 4000 - 127;; v >>= 7) {
        if (v < 128) {
            block += static_cast<char>(v);
            break;
        }
        block += static_cast<char>((v & 0x7f) | 0x80);
    }
    block += std::string(4000, 'y');
    block += std::string(8000, '\xbe');  // indexed field 62: the newest dynamic entry
    return h2::frame(h2::kHeaders, h2::kEndHeaders | h2::kEndStream, stream, block);
}

std::vector<PeerCase> peerCases() {
    using namespace h2;
    auto requestsThen = [](int n,
                           std::function<std::string(const std::vector<std::uint32_t>&)> answer) {
        return [n, answer](test::PeerConnection& c) {
            c.send(hello());
            const auto ids = c.awaitRequests(static_cast<std::size_t>(n));
            if (ids.size() == static_cast<std::size_t>(n)) {
                c.send(answer(ids));
            }
            while (c.readFrame()) {  // until the client leaves
            }
        };
    };
    return {
        {"replies",
         3,
         requestsThen(3,
                      [](auto ids) {
                          return reply(ids[0], 200, "a") + reply(ids[1], 404, "b") +
                                 reply(ids[2], 200, "c");
                      }),
         {Kind::Reply, Kind::Reply, Kind::Reply},
         ""},
        {"REFUSED_STREAM",
         2,
         requestsThen(2, [](auto ids) { return rstStream(ids[0], 7) + reply(ids[1], 200, "ok"); }),
         {Kind::Refused, Kind::Reply},
         ""},
        {"another reset",
         2,
         requestsThen(2, [](auto ids) { return rstStream(ids[0], 2) + reply(ids[1], 200, "ok"); }),
         {Kind::Lost, Kind::Reply},
         "reset by the mall (INTERNAL_ERROR)"},
        {"GOAWAY with a low last stream id",
         3,
         requestsThen(3, [](auto ids) { return goaway(ids[0], 0) + reply(ids[0], 200, "first"); }),
         {Kind::Reply, Kind::Refused, Kind::Refused},
         ""},
        {"malformed frame",
         2,
         requestsThen(2,
                      [](auto) {
                          return frame(kSettings, 0, 0, "12345");  // not a multiple of six
                      }),
         {Kind::Lost, Kind::Lost},
         "protocol error"},
        {"header block past the cap",
         2,
         requestsThen(2, [](auto ids) { return headerBomb(ids[0]) + reply(ids[1], 200, "ok"); }),
         {Kind::Failed, Kind::Reply},
         "reply headers too large",
         true},
        {"CONTINUATION flood",
         1,
         requestsThen(
             1,
             [](auto ids) {
                 std::string out = frame(kHeaders, 0, ids[0], headerBlock({{":status", "200"}}));
                 const std::string chunk = headerBlock({{"x-flood", std::string(16000, 'z')}});
                 for (int i = 0; i < 40; ++i) {
                     out += frame(kContinuation, 0, ids[0], chunk);
                 }
                 return out;
             }),
         {Kind::Lost},
         ""},
        {"body past the cap",
         2,
         requestsThen(2,
                      [](auto ids) {
                          return headers(ids[0], {{":status", "200"}}, false) +
                                 data(ids[0], std::string(1500, 'b'), false) +
                                 headers(ids[1], {{":status", "200"}, {"content-length", "5000"}},
                                         false);
                      }),
         {Kind::Failed, Kind::Failed},
         "reply body over the cap of 1024 bytes",
         true},
        {"closed after the requests",
         2,
         [](test::PeerConnection& c) {
             c.send(hello());
             c.awaitRequests(2);
         },
         {Kind::Lost, Kind::Lost},
         "connection closed without a reply"},
        {"a reply before the held end",
         1,
         [](test::PeerConnection& c) {
             c.send(hello());
             if (auto f = c.awaitFrame(kHeaders)) {
                 c.send(reply(f->stream, 200, "early"));
             }
             while (c.readFrame()) {
             }
         },
         {Kind::Reply},
         "",
         false,
         true},
        {"PING answered",
         1,
         [](test::PeerConnection& c) {
             c.send(hello());
             const auto ids = c.awaitRequests(1);
             c.send(ping("8bytes!!", false));
             if (!ids.empty() && c.awaitFrame(kPing, kAck)) {
                 c.send(reply(ids[0], 200, "after the ping"));
             }
             while (c.readFrame()) {
             }
         },
         {Kind::Reply},
         ""},
    };
}

TEST(H2PeerTest, EachStreamEndsOnceAsTheMallLeftIt) {
    for (const auto& c : peerCases()) {
        SCOPED_TRACE(c.what);
        test::H2Peer peer(c.script);
        HttpSettings http = trusting();
        http.maxBodyBytes = 1024;
        auto o = open(peer.url(), http);
        ASSERT_EQ(o.phase, Phase::Ready) << o.error.message;
        H2Connection& conn = *o.connection;
        for (int i = 0; i < c.streams; ++i) {
            ASSERT_TRUE(conn.submit(get(peer.url("/s" + std::to_string(i))), i, c.holdEnd).ok());
        }
        ASSERT_TRUE(conn.flush());
        std::vector<Event> events;
        drive(conn, events, [&] { return events.size() >= c.expect.size(); });
        if (c.holdEnd) {
            conn.releaseEnds();
            conn.flush();
            conn.service(POLLIN, events);
        }
        conn.abort(makeError(ErrorCode::Transfer, "test over"), events);
        auto got = byTag(events);
        ASSERT_EQ(got.size(), c.expect.size());
        for (std::size_t i = 0; i < c.expect.size(); ++i) {
            const Event& e = got.at(i);
            EXPECT_EQ(e.kind, c.expect[i]) << i << ": " << what(e);
            if (e.kind != Kind::Reply && !c.says.empty()) {
                EXPECT_NE(e.reply.error().message.find(c.says), std::string::npos)
                    << e.reply.error().message;
            }
            if (e.kind == Kind::Failed && c.tooLarge) {
                EXPECT_EQ(e.reply.error().code, ErrorCode::TooLarge);
            }
            if (e.kind == Kind::Lost) {
                EXPECT_TRUE(e.sent) << "lost, yet its last byte never left";
            }
        }
    }
}

TEST(H2PeerTest, AWaveOfHeadersComesInOneRecord) {
    constexpr int kStreams = 20;
    auto seen = std::make_shared<Seen>();
    test::H2Peer peer([seen](test::PeerConnection& c) {
        c.send(hello());
        const auto ids = c.awaitRequests(kStreams);
        {
            // Kept before the replies go: the test reads it as soon as they are in.
            std::lock_guard lock(seen->mutex);
            seen->headersRead = c.headersRead();
        }
        std::string replies;
        for (auto id : ids) {
            replies += h2::reply(id, 200, "ok");
        }
        c.send(replies);
    });
    auto o = open(peer.url(), trusting());
    ASSERT_EQ(o.phase, Phase::Ready) << o.error.message;
    for (int i = 0; i < kStreams; ++i) {
        ASSERT_TRUE(o.connection->submit(get(peer.url("/wave")), i, true).ok());
    }
    ASSERT_TRUE(o.connection->flush());
    o.connection->releaseEnds();
    ASSERT_TRUE(o.connection->flush());
    std::vector<Event> events;
    drive(*o.connection, events, [&] { return events.size() == kStreams; });
    EXPECT_EQ(byTag(events).size(), static_cast<std::size_t>(kStreams));
    std::lock_guard lock(seen->mutex);
    int headers = 0;
    std::string_view read = seen->headersRead;
    while (read.size() >= 9) {
        const std::size_t length = (static_cast<std::uint8_t>(read[0]) << 16) |
                                   (static_cast<std::uint8_t>(read[1]) << 8) |
                                   static_cast<std::uint8_t>(read[2]);
        headers += read[3] == h2::kHeaders ? 1 : 0;
        EXPECT_EQ(read[4] & h2::kEndStream, 0) << "a held end went out with its HEADERS";
        read.remove_prefix(std::min(read.size(), 9 + length));
    }
    EXPECT_EQ(headers, kStreams);
}

TEST(H2PeerTest, AMallThatLeavesWhileTheWaveGoesOutEndsNothingButItsStreams) {
    test::H2Peer peer([](test::PeerConnection& c) {
        c.send(hello());
        if (c.awaitFrame(h2::kHeaders)) {
            // More window for the body, then gone with its bytes unread: a reset.
            std::string more;
            more += h2::frame(h2::kWindowUpdate, 0, 0, std::string("\x00\x10\x00\x00", 4));
            more += h2::frame(h2::kWindowUpdate, 0, 1, std::string("\x00\x10\x00\x00", 4));
            c.send(more);
        }
    });
    auto o = open(peer.url(), trusting());
    ASSERT_EQ(o.phase, Phase::Ready) << o.error.message;
    const std::string body(2 * 1024 * 1024, 'x');
    auto post = h2Request({peer.url("/big"), "POST", body, "", "", ""});
    ASSERT_TRUE(o.connection->submit(post.value(), 1).ok());
    o.connection->flush();
    std::vector<Event> events;
    drive(*o.connection, events, [&] { return !events.empty(); });
    o.connection->abort(makeError(ErrorCode::Transfer, "test over"), events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].kind, Kind::Reply);
    EXPECT_EQ(o.connection->phase(), Phase::Failed);
}

TEST(H2PeerTest, NoStreamsAllowedOrNoSettingsAtAll) {
    test::H2Peer none([](test::PeerConnection& c) {
        c.send(h2::settings({{3, 0}}));
        while (c.readFrame()) {
        }
    });
    auto o = open(none.url(), trusting());
    ASSERT_EQ(o.phase, Phase::Ready) << o.error.message;
    EXPECT_EQ(o.connection->maxStreams(), 0u);
    auto refused = o.connection->submit(get(none.url()), 1);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message.find("SETTINGS_MAX_CONCURRENT_STREAMS 0"), std::string::npos);
    EXPECT_EQ(o.connection->openStreams(), 0u);

    test::H2Peer gone([](test::PeerConnection&) {});  // closes right after the preface
    auto closed = open(gone.url(), trusting());
    EXPECT_EQ(closed.phase, Phase::Failed);
    EXPECT_EQ(closed.error.code, ErrorCode::Transfer);
    EXPECT_NE(closed.error.message.find("(127.0.0.1:" + std::to_string(gone.port()) + ")"),
              std::string::npos)
        << closed.error.message;
}

TEST(H2OpeningTest, WhatCannotConnectSaysSo) {
    // A port nothing listens on.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(probe, reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string closedUrl = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    ::close(probe);
    auto refused = open(closedUrl, trusting());
    EXPECT_EQ(refused.phase, Phase::Failed);
    EXPECT_EQ(refused.error.code, ErrorCode::Connect);
    EXPECT_NE(refused.error.message.find("could not connect (127.0.0.1:"), std::string::npos)
        << refused.error.message;

    H2Endpoint bad;
    bad.address = splitAddress("https://mall.example/").value();
    bad.numeric = {"not an address"};
    auto none = H2Connection::start(bad);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().code, ErrorCode::Connect);
}

TEST(H2OpeningTest, AHandshakeThatNeverAnswersTimesOutOnTheGivenClock) {
    // Connections queue in the backlog and are never accepted: TCP is up, TLS never is.
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len);
    MockClock clock(Clock::WallTime{std::chrono::seconds(1714528798)});
    H2Endpoint e;
    e.address = splitAddress("https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port))).value();
    e.http = trusting();
    e.clock = &clock;
    auto c = H2Connection::start(e);
    ASSERT_TRUE(c.ok()) << c.error().message;
    std::vector<Event> events;
    (*c)->service(0, events);
    EXPECT_EQ((*c)->phase(), Phase::Opening);
    clock.advance(std::chrono::milliseconds(e.http.connectTimeoutMs));
    (*c)->service(0, events);
    EXPECT_EQ((*c)->phase(), Phase::Failed);
    EXPECT_EQ((*c)->error().code, ErrorCode::Timeout);
    EXPECT_EQ((*c)->error().message.rfind("timed out (127.0.0.1:", 0), 0u) << (*c)->error().message;
    EXPECT_TRUE(events.empty());
    ::close(silent);
}

// --- the transport-free session -------------------------------------------------------

// Stream 1 ends with its HEADERS; stream 2's HEADERS go ahead and its end (an empty DATA
// frame) after them. A stream is lost only once its last byte was taken; before that the
// mall cannot have acted on it and it is refused, safe to send again.
TEST(H2SessionTest, LostStreamsAreRefusedUnlessTheirLastByteWentOut) {
    struct Wire {
        std::unique_ptr<H2Session> session;
        std::string bytes;
        std::size_t preface = 0;
        std::size_t heads = 0;  // end of both HEADERS frames
    };
    const auto build = [] {
        Wire w;
        w.session = H2Session::create({}, "mall:443").value();
        std::vector<Event> none;
        w.session->produce(w.bytes, none);
        w.preface = w.bytes.size();
        const auto first = w.session->submit(get("https://mall/a"), 1, false);
        const auto second = w.session->submit(get("https://mall/b"), 2, true);
        EXPECT_TRUE(first.ok() && *first == 1);
        EXPECT_TRUE(second.ok() && *second == 3);
        w.session->produce(w.bytes, none);
        EXPECT_EQ(w.bytes.size(), w.preface) << "held streams went out before flush()";
        w.session->flush(w.bytes, none);
        w.heads = w.bytes.size();
        w.session->releaseEnds();
        w.session->flush(w.bytes, none);
        EXPECT_TRUE(none.empty());
        return w;
    };
    const Wire reference = build();
    ASSERT_GT(reference.bytes.size(), reference.heads);
    const std::string& wire = reference.bytes;
    const std::size_t firstLength = (static_cast<std::uint8_t>(wire[reference.preface]) << 16) |
                                    (static_cast<std::uint8_t>(wire[reference.preface + 1]) << 8) |
                                    static_cast<std::uint8_t>(wire[reference.preface + 2]);
    const std::uint64_t firstEnd = reference.preface + 9 + firstLength;
    struct Case {
        std::uint64_t taken;
        Kind first, second;
    };
    for (const Case c : {Case{reference.preface, Kind::Refused, Kind::Refused},
                         Case{firstEnd - 1, Kind::Refused, Kind::Refused},
                         Case{firstEnd, Kind::Lost, Kind::Refused},
                         Case{reference.heads, Kind::Lost, Kind::Refused},
                         Case{wire.size() - 1, Kind::Lost, Kind::Refused},
                         Case{wire.size(), Kind::Lost, Kind::Lost}}) {
        Wire w = build();
        ASSERT_EQ(w.bytes, wire);
        std::vector<Event> out;
        w.session->lost(makeError(ErrorCode::Transfer, "gone"), c.taken, out);
        auto got = byTag(out);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got.at(1).kind, c.first) << c.taken;
        EXPECT_EQ(got.at(2).kind, c.second) << c.taken;
        EXPECT_EQ(got.at(2).sent, c.second == Kind::Lost) << c.taken;
        EXPECT_EQ(w.session->openStreams(), 0u);
    }
}

// A peer that floods control frames and reads nothing: what waits to be written stays
// bounded, and the connection ends saying why.
TEST(H2PeerTest, AFloodOfControlFramesEndsTheConnectionWithBoundedOutput) {
    const std::pair<const char*, std::string> floods[] = {
        {"PING", h2::ping("flooding", false)},
        {"SETTINGS", h2::settings()},
    };
    for (const auto& [name, frame] : floods) {
        SCOPED_TRACE(name);
        test::H2Peer peer([frame](test::PeerConnection& c) {
            c.send(hello());
            std::string burst;
            for (int i = 0; i < 1000; ++i) {
                burst += frame;
            }
            while (c.send(burst)) {
            }
        });
        auto o = open(peer.url(), trusting());
        ASSERT_EQ(o.phase, Phase::Ready) << o.error.message;
        H2Connection& conn = *o.connection;
        std::size_t most = 0;
        constexpr std::size_t kBound = H2Connection::kMostPending + 1024;
        std::vector<Event> events;
        drive(conn, events, [&] {
            most = std::max(most, conn.pendingBytes());
            return most > 4 * kBound;
        });
        EXPECT_LE(most, kBound);
        EXPECT_EQ(conn.phase(), Phase::Failed);
        EXPECT_NE(conn.error().message.find("Flooding"), std::string::npos) << conn.error().message;
    }
}

// The plan of the instant's packet counts the bytes the session then frames, compression
// and all: a plan short of them would let a connection's share spill into a second packet.
// It may count the few bytes of a header table size update the session leaves out.
TEST(H2SessionTest, PacketPlanCountsWhatTheSessionFrames) {
    struct Case {
        const char* what;
        std::string method;
        bool holdEnd;
    };
    for (const Case& c : {Case{"requests ended by their HEADERS", "GET", false},
                          Case{"requests with a body", "POST", false},
                          Case{"ends held for the instant", "GET", true}}) {
        SCOPED_TRACE(c.what);
        std::vector<H2Request> requests;
        for (int i = 0; i < 24; ++i) {
            const std::string url =
                "https://mall/x?item=" + std::to_string(i % 3) + "&n=" + std::to_string(i);
            const std::string cookies = "uin=o1000" + std::to_string(i % 2) + "; skey=k";
            requests.push_back(h2Request({url, c.method, "a=1&b=2", cookies, "", ""}).value());
        }
        auto session = H2Session::create({}, "mall:443").value();
        std::string wire;
        std::vector<Event> none;
        session->produce(wire, none);
        PacketPlan plan = session->packetPlan(0);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            ASSERT_TRUE(session->submit(requests[i], i, c.holdEnd).ok());
            plan.add(requests[i], c.holdEnd);
        }
        std::size_t before = wire.size();
        session->flush(wire, none);
        if (c.holdEnd) {
            before = wire.size();
            session->releaseEnds();
            session->flush(wire, none);
        }
        const std::size_t framed = wire.size() - before;
        EXPECT_GE(plan.bytes(), framed);
        EXPECT_LE(plan.bytes(), framed + 3);
    }
}

TEST(H2SessionTest, RequestFieldsFromThePageRequest) {
    struct Case {
        const char* what;
        PageRequest request;
        std::string authority;
        std::vector<std::pair<std::string, std::string>> fields;
    };
    const std::string agent(kDefaultAgent);
    const std::string url = "https://mall.example/mall/index.php?a=1";
    const Case cases[] = {
        {"defaults",
         {url, "GET", "", "s=1", "", ""},
         "mall.example",
         {{"user-agent", agent},
          {"referer", url},
          {"accept", "*/*"},
          {"accept-language", "zh-cn"},
          {"cookie", "s=1"}}},
        {"connection fields left out, Host as the authority",
         {"https://mall.example:8443/x", "POST", "k=v", "",
          "Connection: keep-alive\r\nHost: other:1\r\nX-Own: 1\r\nTE: gzip\r\nUser-Agent: U", ""},
         "other:1",
         {{"x-own", "1"},
          {"user-agent", "U"},
          {"referer", "https://mall.example:8443/x"},
          {"accept", "*/*"},
          {"accept-language", "zh-cn"},
          {"content-type", "application/x-www-form-urlencoded"},
          {"content-length", "3"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = h2Request(c.request);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(r->authority, c.authority);
        EXPECT_EQ(r->fields, c.fields);
        EXPECT_EQ(r->scheme, "https");
    }
    EXPECT_FALSE(h2Request({url, "PUT", "", "", "", ""}).ok());
}

}  // namespace
}  // namespace vellicor::web
