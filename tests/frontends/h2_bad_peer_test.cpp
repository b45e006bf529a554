// A whole run against HTTP/2 front ends that misbehave: whatever the mall's side does, every
// worker ends with one line saying what happened, no request the mall took goes out twice,
// and the run's counts say how many left whole and how many the mall never saw.
//
// Each worker asks for an item of its own, so the peer tells workers apart by the :path of
// their streams.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "doubles.h"
#include "h2_peer.h"
#include "mall/exchange_run.h"
#include "nginx_front.h"
#include "platform/codec.h"

namespace vellicor {
namespace {

namespace h2 = test::h2;
using std::chrono::milliseconds;
using Kind = mall::OutcomeKind;

// What the peer did with the requests, over every connection of the run.
struct Mall {
    std::mutex mutex;
    std::map<std::string, int> taken;  // requests received whole and acted on, by path
    int refused = 0;                   // streams it turned away unprocessed
    std::atomic<int> connections{0};   // accepted so far

    void take(const std::string& path) {
        std::lock_guard lock(mutex);
        ++taken[path];
    }
    void refuse(int n) {
        std::lock_guard lock(mutex);
        refused += n;
    }
};

std::string page(std::string_view text) {
    return utf8ToGbk("<p>" + std::string(text) + "</p>").value();
}

std::string soldOut() {
    return page("很抱歉，该商品今日已被兑换完");
}

std::string hello(std::uint32_t maxStreams = 100) {
    return h2::settings({{3, maxStreams}}) + h2::settingsAck();
}

void drain(test::PeerConnection& c) {
    while (c.readFrame()) {
    }
}

// Reads `n` requests, takes them and answers each with `body`.
std::vector<std::uint32_t> takeAndAnswer(test::PeerConnection& c, Mall& mall, std::size_t n,
                                         const std::string& body) {
    const auto ids = c.awaitRequests(n);
    std::string out;
    for (auto id : ids) {
        mall.take(c.path(id));
        out += h2::reply(id, 200, body);
    }
    c.send(out);
    return ids;
}

std::vector<std::uint32_t> takeSilently(test::PeerConnection& c, Mall& mall, std::size_t n) {
    const auto ids = c.awaitRequests(n);
    for (auto id : ids) {
        mall.take(c.path(id));
    }
    return ids;
}

// Writes `frame` over and over and reads nothing, until the client leaves.
void flood(test::PeerConnection& c, const std::string& frame) {
    std::string burst;
    for (int i = 0; i < 1000; ++i) {
        burst += frame;
    }
    while (c.send(burst)) {
    }
}

struct Expect {
    int soldOut = 0;
    int failed = 0;
    int unknown = 0;
    int takenEach = 1;   // times the peer took each worker's request
    int sends = -1;      // -1: workers × takenEach
    int unsent = -1;     // -1: the streams the peer refused
    std::string says{};  // in every line that is not the mall's answer
};

struct Case {
    const char* what;
    std::function<void(test::PeerConnection&, Mall&)> script;
    Expect expect;
    int workers = 5;
    bool timed = false;  // a timed run, the connections opened 600 ms ahead
    bool lastByte = false;
    int maxConnections = 1000;
    long retryPauseMs = 200;
};

constexpr int kWorkers = 5;

std::vector<Case> cases() {
    std::vector<Case> out;
    out.push_back({"answers every stream",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       takeAndAnswer(c, m, kWorkers, soldOut());
                       drain(c);
                   },
                   {.soldOut = kWorkers}});
    out.push_back({"malformed frame after the requests",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       takeSilently(c, m, kWorkers);
                       c.send(h2::frame(h2::kData, 0, 0, "junk"));  // DATA on stream 0
                       drain(c);
                   },
                   {.unknown = kWorkers, .says = "已发出，结果未知"}});
    // nghttp2 ends the connection over the CONTINUATION frames: the requests had left whole.
    out.push_back(
        {"a header block past every cap",
         [](test::PeerConnection& c, Mall& m) {
             c.send(hello());
             const auto ids = takeSilently(c, m, kWorkers);
             std::string flood =
                 h2::frame(h2::kHeaders, 0, ids.at(0), h2::headerBlock({{":status", "200"}}));
             const std::string big = h2::headerBlock({{"x-big", std::string(16000, 'a')}});
             for (int i = 0; i < 40; ++i) {
                 flood += h2::frame(h2::kContinuation, 0, ids.at(0), big);
             }
             c.send(flood);
             drain(c);
         },
         {.unknown = kWorkers, .says = "已发出，结果未知"}});
    out.push_back({"no concurrent streams allowed",
                   [](test::PeerConnection& c, Mall&) {
                       c.send(hello(0));
                       drain(c);
                   },
                   {.failed = kWorkers, .takenEach = 0, .says = "请求失败"}});
    out.push_back({"gone right after the preface",
                   [](test::PeerConnection&, Mall&) {},
                   {.failed = kWorkers, .takenEach = 0, .says = "请求失败"}});
    out.push_back({"refuses every stream once, then answers",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       const auto ids = c.awaitRequests(kWorkers);
                       std::string refusals;
                       for (auto id : ids) {
                           refusals += h2::rstStream(id, 7);  // REFUSED_STREAM
                       }
                       m.refuse(static_cast<int>(ids.size()));
                       c.send(refusals);
                       takeAndAnswer(c, m, kWorkers, soldOut());
                       drain(c);
                   },
                   {.soldOut = kWorkers}});
    // The run's first connections (three, two streams each) are cut in the lead, once the
    // PING the client sends when its wave is ready came; the ones that replace them answer.
    for (const bool lastByte : {false, true}) {
        out.push_back({lastByte ? "every connection reset in the lead, last byte held"
                                : "every connection reset in the lead",
                       [](test::PeerConnection& c, Mall& m) {
                           const int number = ++m.connections;
                           c.send(hello(2));
                           if (number <= 3) {
                               c.awaitFrame(h2::kPing);
                               c.resetOnReturn();
                               return;
                           }
                           while (auto f = c.readFrame()) {
                               const bool ends = f->type == h2::kHeaders || f->type == h2::kData;
                               if (ends && (f->flags & h2::kEndStream) != 0) {
                                   m.take(c.path(f->stream));
                                   c.send(h2::reply(f->stream, 200, soldOut()));
                               }
                           }
                       },
                       {.soldOut = kWorkers, .unsent = kWorkers},
                       kWorkers,
                       true,
                       lastByte});
    }
    // Like nginx's keepalive_requests: a connection takes four requests, then GOAWAY. Each
    // worker is told "not open yet" four times, so the run needs a dozen connections.
    out.push_back({"GOAWAY after four requests a connection while workers ask again",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       int taken = 0;
                       while (auto f = c.readFrame()) {
                           const bool ends = f->type == h2::kHeaders || f->type == h2::kData;
                           if (!ends || (f->flags & h2::kEndStream) == 0) {
                               continue;
                           }
                           if (taken == 4) {
                               m.refuse(1);  // past the GOAWAY: the client refuses it itself
                               continue;
                           }
                           const std::string path = c.path(f->stream);
                           int round = 0;
                           {
                               std::lock_guard lock(m.mutex);
                               round = ++m.taken[path];
                           }
                           ++taken;
                           std::string answer =
                               h2::reply(f->stream, 200,
                                         round < 5 ? page("点开始兑换，请稍后再来") : soldOut());
                           if (taken == 4) {
                               answer += h2::goaway(f->stream, 0);
                           }
                           c.send(answer);
                       }
                   },
                   {.soldOut = kWorkers, .takenEach = 5},
                   kWorkers,
                   false,
                   false,
                   1000,
                   20});
    out.push_back({"one stream on one connection, last byte held",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello(1));
                       takeAndAnswer(c, m, 1, soldOut());
                       takeAndAnswer(c, m, 1, soldOut());
                       drain(c);
                   },
                   {.soldOut = 2},
                   2,
                   true,
                   true,
                   1});
    out.push_back({"PING flood, reading nothing",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       takeSilently(c, m, kWorkers);
                       flood(c, h2::ping("flooding", false));
                   },
                   {.unknown = kWorkers, .says = "Flooding"}});
    out.push_back({"SETTINGS flood, reading nothing",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       takeSilently(c, m, kWorkers);
                       flood(c, h2::settings());
                   },
                   {.unknown = kWorkers, .says = "Flooding"}});
    out.push_back({"closes mid-wave",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       const auto ids = takeSilently(c, m, kWorkers);
                       c.send(h2::reply(ids.at(0), 200, soldOut()) +
                              h2::reply(ids.at(1), 200, soldOut()));
                   },
                   {.soldOut = 2, .unknown = kWorkers - 2, .says = "已发出，结果未知"}});
    out.push_back({"resets each stream after taking it",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       std::string resets;
                       for (auto id : takeSilently(c, m, kWorkers)) {
                           resets += h2::rstStream(id, 2);  // INTERNAL_ERROR
                       }
                       c.send(resets);
                       drain(c);
                   },
                   {.unknown = kWorkers, .says = "reset by the mall"}});
    out.push_back({"resets the connection after taking the requests",
                   [](test::PeerConnection& c, Mall& m) {
                       c.send(hello());
                       takeSilently(c, m, kWorkers);
                       c.resetOnReturn();
                   },
                   {.unknown = kWorkers, .says = "已发出，结果未知"}});
    return out;
}

TEST(H2BadPeers, EveryWorkerOneLineAndNothingTheMallTookSentTwice) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.what);
        auto mall = std::make_shared<Mall>();
        test::H2Peer peer([&c, mall](test::PeerConnection& conn) { c.script(conn, *mall); });
        Config config = Config::defaults().withPortal(peer.url("/"));
        config.http.caFile = test::tlsCaFile();
        config.http.version = HttpVersion::Http2;
        config.http.totalTimeoutMs = 3000;
        config.exchange.maxConnectionsPerHost = c.maxConnections;
        config.exchange.retryPauseMs = c.retryPauseMs;
        config.timer.preopenLeadMs = 600;
        config.timer.lastByteSync = c.lastByte;
        test::LogCapture log;
        mall::RunPlan plan;
        for (int i = 0; i < c.workers; ++i) {
            plan.items.push_back(&mall::items()[static_cast<std::size_t>(i)]);
        }
        plan.perItem = 1;
        plan.accounts = web::oneAccount("uin=o1; skey=k");
        mall::RunOptions options;
        if (c.timed) {
            options.fireAt = SystemClock::instance().steadyNow() + milliseconds(1200);
        }
        auto run = mall::ExchangeRun::start(plan, config, SystemClock::instance(), log.sink(), {},
                                            options);
        run->wait();
        const mall::RunSummary summary = run->summary();
        EXPECT_EQ(summary.lines, c.workers);
        std::map<Kind, int> kinds;
        for (const auto& tally : summary.items) {
            int mine = 0;
            for (int k = 0; k < mall::kOutcomeKinds; ++k) {
                mine += tally.counts.at(static_cast<std::size_t>(k));
                kinds[static_cast<Kind>(k)] += tally.counts.at(static_cast<std::size_t>(k));
            }
            EXPECT_EQ(mine, 1) << "one line for " << tally.item->caption;
        }
        EXPECT_EQ(kinds[Kind::SoldOut], c.expect.soldOut);
        EXPECT_EQ(kinds[Kind::Failed], c.expect.failed);
        EXPECT_EQ(kinds[Kind::Unknown], c.expect.unknown);
        std::lock_guard lock(mall->mutex);
        int taken = 0;
        for (int i = 0; i < c.workers; ++i) {
            const std::string path =
                mall::exchangePath(mall::items()[static_cast<std::size_t>(i)].target);
            const auto it = mall->taken.find(path);
            const int times = it == mall->taken.end() ? 0 : it->second;
            EXPECT_EQ(times, c.expect.takenEach) << path;
            taken += times;
        }
        EXPECT_EQ(summary.sends, c.expect.sends >= 0 ? c.expect.sends : taken);
        EXPECT_EQ(summary.unsent, c.expect.unsent >= 0 ? c.expect.unsent : mall->refused);
        for (const auto& line : log.holding("  :")) {
            if (!c.expect.says.empty() && line.find("兑换完") == std::string::npos) {
                EXPECT_NE(line.find(c.expect.says), std::string::npos) << line;
            }
        }
    }
}

}  // namespace
}  // namespace vellicor
