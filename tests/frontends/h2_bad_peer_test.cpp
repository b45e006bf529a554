// A whole run against HTTP/2 front ends that misbehave: whatever the mall's side does, every
// worker ends with one line saying what happened, and no request goes out twice unless the
// mall said it never processed it.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "h2_peer.h"
#include "mall/exchange_run.h"
#include "nginx_front.h"
#include "platform/codec.h"

namespace vellicor {
namespace {

namespace h2 = test::h2;
constexpr int kWorkers = 5;

// How often each request path was opened as a stream, over every connection.
struct Streams {
    std::mutex mutex;
    int opened = 0;
};

std::string soldOutPage() {
    return utf8ToGbk("<p>很抱歉，该商品今日已被兑换完</p>").value();
}

std::string hello(std::uint32_t maxStreams = 100) {
    return h2::settings({{3, maxStreams}}) + h2::settingsAck();
}

struct Case {
    const char* what;
    test::H2Peer::Script script;
    int soldOut;  // lines with the mall's answer
    int failed;   // lines saying what failed
    int opened;   // streams the mall saw opened, over every connection
};

void countAndAnswer(test::PeerConnection& c, Streams& streams, int answer) {
    const auto ids = c.awaitRequests(kWorkers);
    {
        std::lock_guard lock(streams.mutex);
        streams.opened += static_cast<int>(ids.size());
    }
    std::string out;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        out += static_cast<int>(i) < answer ? h2::reply(ids[i], 200, soldOutPage()) : std::string();
    }
    c.send(out);
}

std::vector<Case> cases(const std::shared_ptr<Streams>& streams) {
    std::vector<Case> out;
    out.push_back({"answers every stream",
                   [streams](test::PeerConnection& c) {
                       c.send(hello());
                       countAndAnswer(c, *streams, kWorkers);
                       while (c.readFrame()) {
                       }
                   },
                   kWorkers, 0, kWorkers});
    out.push_back({"malformed frame after the requests",
                   [streams](test::PeerConnection& c) {
                       c.send(hello());
                       countAndAnswer(c, *streams, 0);
                       c.send(h2::frame(h2::kData, 0, 0, "junk"));  // DATA on stream 0
                       while (c.readFrame()) {
                       }
                   },
                   0, kWorkers, kWorkers});
    out.push_back(
        {"a header block past every cap",
         [streams](test::PeerConnection& c) {
             c.send(hello());
             const auto ids = c.awaitRequests(kWorkers);
             {
                 std::lock_guard lock(streams->mutex);
                 streams->opened += static_cast<int>(ids.size());
             }
             std::string flood =
                 h2::frame(h2::kHeaders, 0, ids.at(0), h2::headerBlock({{":status", "200"}}));
             const std::string big = h2::headerBlock({{"x-big", std::string(16000, 'a')}});
             for (int i = 0; i < 40; ++i) {
                 flood += h2::frame(h2::kContinuation, 0, ids.at(0), big);
             }
             c.send(flood);
             while (c.readFrame()) {
             }
         },
         0, kWorkers, kWorkers});
    out.push_back({"no concurrent streams allowed",
                   [](test::PeerConnection& c) {
                       c.send(hello(0));
                       while (c.readFrame()) {
                       }
                   },
                   0, kWorkers, 0});
    out.push_back({"gone right after the preface", [](test::PeerConnection&) {}, 0, kWorkers, 0});
    out.push_back({"refuses every stream once, then answers",
                   [streams](test::PeerConnection& c) {
                       c.send(hello());
                       const auto ids = c.awaitRequests(kWorkers);
                       {
                           std::lock_guard lock(streams->mutex);
                           streams->opened += static_cast<int>(ids.size());
                       }
                       std::string refusals;
                       for (auto id : ids) {
                           refusals += h2::rstStream(id, 7);  // REFUSED_STREAM
                       }
                       c.send(refusals);
                       countAndAnswer(c, *streams, kWorkers);
                       while (c.readFrame()) {
                       }
                   },
                   kWorkers, 0, 2 * kWorkers});
    return out;
}

TEST(H2BadPeers, EveryWorkerOneLineAndNothingProcessedTwice) {
    auto streams = std::make_shared<Streams>();
    for (const Case& c : cases(streams)) {
        SCOPED_TRACE(c.what);
        streams->opened = 0;
        test::H2Peer peer(c.script);
        Config config = Config::defaults().withPortal(peer.url("/"));
        config.http.caFile = test::tlsCaFile();
        config.http.version = HttpVersion::Http2;
        config.http.totalTimeoutMs = 3000;
        std::mutex mutex;
        std::vector<std::string> lines;
        mall::RunPlan plan;
        plan.items = {&mall::items().front()};
        plan.perItem = kWorkers;
        plan.cookies = "uin=o1; skey=k";
        auto run = mall::ExchangeRun::start(plan, config, SystemClock::instance(),
                                            [&](const std::string& line) {
                                                std::lock_guard lock(mutex);
                                                lines.push_back(line);
                                            });
        run->wait();
        const mall::RunSummary summary = run->summary();
        EXPECT_EQ(summary.lines, kWorkers);
        const auto& tally = summary.items.at(0);
        EXPECT_EQ(tally.count(mall::OutcomeKind::SoldOut), c.soldOut);
        EXPECT_EQ(tally.count(mall::OutcomeKind::Failed), c.failed);
        std::lock_guard lock(streams->mutex);
        // Refused streams went again; none the mall may have taken was sent a second time.
        EXPECT_EQ(streams->opened, c.opened);
        for (const auto& line : lines) {
            if (line.find("  :") != std::string::npos && c.failed > 0) {
                EXPECT_NE(line.find("请求失败"), std::string::npos) << line;
            }
        }
    }
}

}  // namespace
}  // namespace vellicor
