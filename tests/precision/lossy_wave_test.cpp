// An HTTP/2 wave fired across a path to the mall that loses a packet at the instant. Each
// connection's share of the instant crosses the path as one TCP segment, so a lost segment
// holds back only the requests it carries: the other connections' arrive without waiting for
// its retransmission. The mall here is a scripted peer on the path's far side that notes when
// the read bringing each request's last byte returned.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "front_end.h"
#include "h2_peer.h"
#include "mall/catalogue.h"
#include "mall/h2_wave.h"
#include "path_emulator.h"
#include "wait_until.h"

namespace vellicor::mall {
namespace {

using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRequests = 100;
constexpr std::uint32_t kStreamLimit = 128;
constexpr std::uint16_t kSettingsMaxStreams = 3;  // SETTINGS_MAX_CONCURRENT_STREAMS

std::uint16_t peerPort(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

struct Arrival {
    Steady::time_point at;
    std::uint16_t port = 0;  // the connection's, on the tool's side
    std::uint32_t stream = 0;
};

// The far side: answers every request at once and notes when it became whole.
class Mall {
  public:
    Mall()
        : peer_([this](test::PeerConnection& c) { serve(c); }, true,
                test::PathEmulator::kFarAddress) {}

    std::uint16_t port() const { return peer_.port(); }
    std::vector<Arrival> arrivals() const {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    int pings() const {
        std::lock_guard lock(mutex_);
        return pings_;
    }

  private:
    void serve(test::PeerConnection& c) {
        namespace h2 = test::h2;
        const std::uint16_t port = peerPort(c.fd());
        c.send(h2::settings({{kSettingsMaxStreams, kStreamLimit}}));
        while (auto f = c.readFrame()) {
            const bool acked = (f->flags & h2::kAck) != 0;
            if (f->type == h2::kSettings && !acked) {
                c.send(h2::settingsAck());
            } else if (f->type == h2::kPing && !acked) {
                std::lock_guard lock(mutex_);
                ++pings_;
                c.send(h2::ping(f->payload, true));
            } else if ((f->type == h2::kHeaders || f->type == h2::kData) &&
                       (f->flags & h2::kEndStream) != 0) {
                {
                    std::lock_guard lock(mutex_);
                    arrivals_.push_back({Steady::now(), port, f->stream});
                }
                c.send(h2::reply(f->stream, 200, "ok"));
            }
        }
    }

    mutable std::mutex mutex_;
    std::vector<Arrival> arrivals_;
    int pings_ = 0;
    test::H2Peer peer_;
};

enum class Fault { None, FirstPacketLost, Blackout, BlackoutWhileOpening };

struct Row {
    const char* name;
    Fault fault;
};

struct Seen {
    std::string skipped;
    std::string error;
    std::string line;
    int connections = 0;
    std::uint64_t packetsUp = 0;  // carrying data, from the instant until every answer came
    std::uint16_t droppedPort = 0;
    Steady::time_point fired;
    std::map<std::uint64_t, int> ends;  // by request: how many times it ended
    int replies = 0;
    std::vector<Arrival> arrivals;
};

// Requests as a run makes them: a few items taking turns, one account's cookies.
std::vector<web::H2Request> wave(const std::string& base) {
    std::vector<const Item*> some;
    for (const Item& item : items()) {
        if (item.enabled && some.size() < 5) {
            some.push_back(&item);
        }
    }
    std::vector<web::H2Request> out;
    for (int i = 0; i < kRequests; ++i) {
        web::PageRequest page;
        page.url = exchangeAddress(base, some[static_cast<std::size_t>(i) % some.size()]->target);
        page.cookies = "uin=o10001; skey=@Zx81kQpLm; p_uin=o10001; p_skey=Rk2vYd0aQe9sT";
        out.push_back(web::h2Request(page).value());
    }
    return out;
}

void collect(H2Wave& w, Seen& seen, Steady::time_point until) {
    std::vector<H2Wave::Event> events;
    while (seen.ends.size() < kRequests && Steady::now() < until) {
        std::vector<PollEntry> polled;
        w.addPolled(polled);
        std::vector<pollfd> fds;
        for (const PollEntry& e : polled) {
            fds.push_back({e.fd, e.events, 0});
        }
        ::poll(fds.data(), fds.size(), 50);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            polled[i].revents = fds[i].revents;
        }
        events.clear();
        w.service(polled, events);
        for (const auto& e : events) {
            ++seen.ends[e.tag];
            seen.replies += e.kind == H2Wave::Event::Kind::Reply ? 1 : 0;
        }
    }
}

void fireAcross(const Row& row, const Mall& mall, test::PathEmulator& path, Seen& seen) {
    const Clock& clock = SystemClock::instance();
    const std::string base = "https://localhost:" + std::to_string(mall.port());
    const auto requests = wave(base);
    H2Wave::Request r;
    r.address = web::splitAddress(base).value();
    r.numeric = {test::PathEmulator::kFarAddress};
    r.http.caFile = test::tlsCaFile();
    r.streams = kRequests;
    r.maxConnections = 1000;
    r.requireHttp2 = true;
    r.deadline = clock.steadyNow() + 10s;
    if (row.fault == Fault::BlackoutWhileOpening) {
        // The first SYN and its retransmission 1 s later are lost; the next one, 3 s after
        // the first, would come after the run's lead of 3 s.
        path.blackout(Steady::now(), 1500ms);
        r.deadline = clock.steadyNow() + 2900ms;
    }
    for (const auto& q : requests) {
        r.requests.push_back(&q);
    }
    auto w = H2Wave::open(r, clock);
    if (w->outcome() != H2Wave::Outcome::Http2) {
        seen.error = "no wave: " + w->error().message;
        return;
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        w->prepare(i, requests[i], false);
    }
    w->stage(false);
    seen.line = w->protocolLine();
    seen.connections = w->connections();
    // The PING each connection got when staged has crossed: nothing of ours is under way.
    if (!test::waitUntil([&] { return mall.pings() >= seen.connections; })) {
        seen.error = "the staged connections' PINGs never reached the mall";
        return;
    }
    w->look();
    if (row.fault == Fault::FirstPacketLost) {
        path.dropDataUp(1);
    } else if (row.fault == Fault::Blackout) {
        path.blackout(Steady::now(), 1s);
    }
    const std::uint64_t upBefore = path.dataPacketsUp();
    seen.fired = Steady::now();
    w->fire();
    collect(*w, seen, Steady::now() + test::kWaitBound);
    seen.packetsUp = path.dataPacketsUp() - upBefore;
    seen.droppedPort = path.droppedPort();
}

Seen runRow(const Row& row) {
    Seen seen;
    test::PathOptions options;
    options.up = {15, 0, 0};
    options.down = {15, 0, 0};
    auto path = test::PathEmulator::start(options);
    if (!path) {
        seen.skipped = path.error().message;
        return seen;
    }
    std::unique_ptr<Mall> mall;
    (*path)->onFar([&] { mall = std::make_unique<Mall>(); });
    (*path)->onNear([&] { fireAcross(row, *mall, **path, seen); });
    seen.arrivals = mall->arrivals();
    return seen;
}

TEST(LossyWave, ALostPacketHoldsBackOnlyItsOwnRequests) {
    const Row rows[] = {
        {"a clean path", Fault::None},
        {"the instant's first packet lost", Fault::FirstPacketLost},
        {"every packet dropped for a second at the instant", Fault::Blackout},
        {"every packet dropped for the lead's first 1.5 s", Fault::BlackoutWhileOpening},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Seen s = runRow(row);
        if (!s.skipped.empty()) {
            GTEST_SKIP() << "no emulated path: " << s.skipped;
        }
        ASSERT_TRUE(s.error.empty()) << s.error;
        // Every request ended once, with the mall's answer, and reached the mall once, after
        // the wave went.
        EXPECT_EQ(s.ends.size(), static_cast<std::size_t>(kRequests));
        EXPECT_TRUE(
            std::all_of(s.ends.begin(), s.ends.end(), [](auto& e) { return e.second == 1; }));
        EXPECT_EQ(s.replies, kRequests);
        ASSERT_EQ(s.arrivals.size(), static_cast<std::size_t>(kRequests));
        EXPECT_TRUE(std::all_of(s.arrivals.begin(), s.arrivals.end(),
                                [&](const Arrival& a) { return a.at >= s.fired; }));
        // The wave took more than one connection, each one packet, and the log says so.
        EXPECT_GT(s.connections, 1) << s.line;
        EXPECT_NE(s.line.find("开门时 " + std::to_string(s.connections) + " 个数据包"),
                  std::string::npos)
            << s.line;
        if (row.fault == Fault::None) {
            EXPECT_EQ(s.packetsUp, static_cast<std::uint64_t>(s.connections)) << s.line;
        }
        const auto first =
            std::min_element(s.arrivals.begin(), s.arrivals.end(),
                             [](const Arrival& a, const Arrival& b) { return a.at < b.at; });
        if (row.fault == Fault::FirstPacketLost) {
            ASSERT_NE(s.droppedPort, 0);
            Steady::time_point heldBack = Steady::time_point::max();
            for (const Arrival& a : s.arrivals) {
                if (a.port == s.droppedPort) {
                    heldBack = std::min(heldBack, a.at);
                }
            }
            EXPECT_NE(first->port, s.droppedPort);
            EXPECT_TRUE(first->at < heldBack) << "the first request waited for the lost packet";
        }
        std::printf("%s: %s  first request %.1f ms after the wave went\n", row.name,
                    s.line.substr(0, s.line.size() - 2).c_str(),
                    std::chrono::duration<double, std::milli>(first->at - s.fired).count());
    }
}

}  // namespace
}  // namespace vellicor::mall
