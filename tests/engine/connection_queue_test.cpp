// The connection sender's rules through the run's course, on scripted connections and the
// stepping clock: who waits for a connection and when it goes, what a lost connection does to
// the request on it, and one line per worker whatever happens. One item, so worker #n is the
// n-th; every answer comes 20 ms after its request left whole (a slow one 500 ms).
#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include "mall/catalogue.h"
#include "mall/connection_sender_impl.h"
#include "mall/exchange_run.h"
#include "scripted_connections.h"

namespace vellicor::mall {
template class BasicConnectionSender<test::ScriptedConnections>;
}

namespace vellicor::mall::test {
namespace {

using ScriptedSender = BasicConnectionSender<ScriptedConnections>;

// The connection sender first, a scripted way that takes whatever it is handed last.
class MallTransport final : public RunTransport {
  public:
    MallTransport(SteppingClock& clock, ScriptedMall& mall, Journal& journal)
        : clock_(clock), mall_(mall), journal_(journal), poller_(clock, mall) {}
    std::optional<Error> unusable() const override { return std::nullopt; }
    Poller& poller() override { return poller_; }
    MallPoller& mallPoller() { return poller_; }
    std::vector<Way> ways(SendWay, const WayContext& context) override {
        auto open = [this](const PrimedConnections::Request& request, const Clock&) {
            return mall_.open(request, clock_);
        };
        std::vector<Way> ways;
        ways.push_back(Way::of(std::make_unique<ScriptedSender>(context, open)));
        ways.push_back(
            Way::of(std::make_unique<ScriptedWay>(context, script_, fallback_, journal_)));
        return ways;
    }

  private:
    SteppingClock& clock_;
    ScriptedMall& mall_;
    Journal& journal_;
    Script script_;  // the fallback wins every request, 20 ms after it
    WayScript fallback_ = wayNamed("fallback", false);
    MallPoller poller_;
};

struct Setup {
    Setup(int workersIn, int capIn, std::vector<ConnScript> connsIn = {},
          bool lastByteSyncIn = false, std::optional<std::chrono::milliseconds> cancelAtIn = {})
        : workers(workersIn),
          cap(capIn),
          conns(std::move(connsIn)),
          lastByteSync(lastByteSyncIn),
          cancelAt(cancelAtIn) {}

    int workers;
    int cap;                        // connections per host
    std::vector<ConnScript> conns;  // by connection; past the list, one that opens and wins
    bool lastByteSync;
    std::optional<std::chrono::milliseconds> cancelAt;  // after the instant
};

struct Line {
    int worker = 0;
    int attempts = 1;
    std::string text;
    Clock::Steady at{};
};

struct Ran {
    SteppingClock clock;
    ScriptedMall mall;
    Journal journal;  // the fallback's
    std::vector<Line> lines;
    std::string log;
    RunSummary summary;
    std::shared_ptr<ExchangeRun::State> state;

    const Line* lineOf(int worker) const {
        const auto it = std::find_if(lines.begin(), lines.end(),
                                     [worker](const Line& l) { return l.worker == worker; });
        return it == lines.end() ? nullptr : &*it;
    }
};

Line parsed(const std::string& text, Clock::Steady at) {
    Line line;
    line.text = text;
    line.at = at;
    const auto hash = text.find('#');
    line.worker = std::stoi(text.substr(hash + 1));
    if (const auto nth = text.find("第", hash);
        nth != std::string::npos && nth < text.find("  :")) {
        line.attempts = std::stoi(text.substr(nth + std::string_view("第").size()));
    }
    return line;
}

const Item* anItem() {
    for (const Item& item : items()) {
        if (item.enabled) {
            return &item;
        }
    }
    return nullptr;
}

void run(Ran& r, const Setup& setup) {
    Config config = Config::defaults().withPortal("http://127.0.0.1:9");
    config.timer.preopenLeadMs = 3000;
    config.timer.lastByteSync = setup.lastByteSync;
    config.exchange.maxConnectionsPerHost = setup.cap;
    config.exchange.retryWindowMs = 30000;
    config.exchange.throttleJitterPercent = 0;
    r.mall.table = setup.conns;
    r.mall.fireAt = r.clock.peek() + 10s;
    RunOptions options;
    options.fireAt = r.mall.fireAt;
    auto transport = std::make_unique<MallTransport>(r.clock, r.mall, r.journal);
    if (setup.cancelAt) {
        transport->mallPoller().actAt = r.mall.fireAt + *setup.cancelAt;
        transport->mallPoller().act = [&r] { r.state->cancel(); };
    }
    options.transport = [&transport](const Config&) { return std::move(transport); };
    r.state = makeRunState(
        RunPlan{{anItem()}, setup.workers, web::oneAccount("uin=o10001; skey=k")}, config, r.clock,
        [&r](const std::string& line) {
            r.log += line;
            if (line.find("  :") != std::string::npos) {
                r.lines.push_back(parsed(line, r.clock.peek()));
            }
        },
        [&r](const RunSummary& s) { r.summary = s; }, std::move(options));
    Engine(*r.state).run();
}

void expectOneLineEach(const Ran& r, int workers) {
    EXPECT_EQ(static_cast<int>(r.lines.size()), workers) << r.log;
    EXPECT_EQ(r.summary.lines, workers);
    std::set<int> seen;
    for (const Line& line : r.lines) {
        EXPECT_TRUE(seen.insert(line.worker).second) << "twice: #" << line.worker << "\n" << r.log;
    }
    for (const auto& [way, released] : r.journal.released) {
        EXPECT_EQ(released, std::vector<int>(static_cast<std::size_t>(workers), 1)) << way;
    }
}

constexpr auto kWin = "差一点点就中奖了";
constexpr auto kUnknown = "已发出，结果未知";

ConnScript answering(std::vector<Answers> answers) {
    ConnScript c;
    c.answers = std::move(answers);
    return c;
}
ConnScript writing(std::vector<Takes> writes) {
    ConnScript c;
    c.writes = std::move(writes);
    return c;
}
ConnScript closedAhead(std::chrono::milliseconds ahead) {
    ConnScript c;
    c.closedAhead = ahead;
    return c;
}
ConnScript failing() {
    ConnScript c;
    c.opens = false;
    return c;
}

struct End {
    int ms;            // after the instant
    const char* says;  // in its line
    int attempts = 1;
};

struct Row {
    const char* name;
    Setup setup;
    std::vector<End> ends;    // by worker
    std::vector<int> onWire;  // requests taken whole, by connection that opened
    int byFallback;           // requests the next way sent
    int unsent;               // lost before their last byte
};

void check(const Row& row) {
    SCOPED_TRACE(row.name);
    Ran r;
    run(r, row.setup);
    expectOneLineEach(r, row.setup.workers);
    for (std::size_t w = 0; w < row.ends.size(); ++w) {
        const End& end = row.ends[w];
        const Line* line = r.lineOf(static_cast<int>(w) + 1);
        ASSERT_NE(line, nullptr) << "#" << w + 1 << "\n" << r.log;
        const auto at = line->at - r.mall.fireAt;
        EXPECT_GE(at, milliseconds(end.ms)) << line->text;
        EXPECT_LT(at, milliseconds(end.ms + 1)) << line->text;
        EXPECT_NE(line->text.find(end.says), std::string::npos) << line->text;
        EXPECT_EQ(line->attempts, end.attempts) << line->text;
    }
    EXPECT_EQ(r.mall.wire.byConnection(), row.onWire) << r.log;
    EXPECT_EQ(r.journal.sendsBy("fallback"), row.byFallback) << r.log;
    // A request counts as sent once it left whole, wherever it went; one lost before its last
    // byte counts as unsent, once.
    EXPECT_EQ(r.summary.sends, r.mall.wire.whole() + row.byFallback) << r.log;
    EXPECT_EQ(r.summary.unsent, row.unsent) << r.log;
}

TEST(ConnectionQueue, WorkersPastTheCapWaitForAConnection) {
    const Row rows[] = {
        {"the rest queue and go in order as replies come back",
         {5, 2, {}},
         {{20, kWin}, {20, kWin}, {40, kWin}, {40, kWin}, {60, kWin}},
         {3, 2},
         0,
         0},
        {"a connection closed after its second reply is handed to nobody",
         {6, 2, {answering({Answers::Win, Answers::WinThenClose})}},
         {{20, kWin}, {20, kWin}, {40, kWin}, {40, kWin}, {60, kWin}, {80, kWin}},
         {2, 4},
         0,
         0},
        {"every connection closed after one reply: the queue goes the next way",
         {4, 2, {answering({Answers::WinThenClose}), answering({Answers::WinThenClose})}},
         {{20, kWin}, {20, kWin}, {40, kWin}, {40, kWin}},
         {1, 1},
         2,
         0},
        {"a connection that did not open: its worker goes the next way, the queue waits",
         {4, 2, {failing()}},
         {{20, kWin}, {20, kWin}, {40, kWin}, {60, kWin}},
         {3},
         1,
         0},
        {"none opened: nobody waits, all go the next way",
         {4, 2, {failing(), failing()}},
         {{20, kWin}, {20, kWin}, {20, kWin}, {20, kWin}},
         {},
         4,
         0},
        {"the queued ones still waiting at a cancel end cancelled, the sent ones unknown",
         {5, 2, {}, false, 30ms},
         {{20, kWin}, {20, kWin}, {30, kUnknown}, {30, kUnknown}, {30, "已取消，本次兑换已停止"}},
         {2, 2},
         0,
         0},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

TEST(ConnectionQueue, ALostConnectionSendsAgainOnlyWhatNeverArrived) {
    const Row rows[] = {
        {"lost before its last byte: sent again by the next way, counted once",
         {4, 2, {writing({Takes::AllButLast, Takes::Breaks})}},
         {{20, kWin}, {20, kWin}, {40, kWin}, {60, kWin}},
         {0, 3},
         1,
         1},
        {"its last byte, held for the instant, lost: the same",
         {4, 2, {writing({Takes::All, Takes::Breaks})}, true},
         {{20, kWin}, {20, kWin}, {40, kWin}, {60, kWin}},
         {0, 3},
         1,
         1},
        {"reset after its last byte: unknown, never again",
         {4, 2, {answering({Answers::Reset})}},
         {{20, kUnknown}, {20, kWin}, {40, kWin}, {60, kWin}},
         {1, 3},
         0,
         0},
        {"a write taken in part: the rest goes once the socket drains, sent once",
         {4, 2, {writing({Takes::AllButLast})}},
         {{20, kWin}, {20, kWin}, {40, kWin}, {40, kWin}},
         {2, 2},
         0,
         0},
        {"no answer from the only connection: the one queued behind it goes the next way",
         {2, 1, {answering({Answers::Silent})}},
         {{8000, kUnknown}, {8020, kWin}},
         {1},
         1,
         0},
        {"no answer: unknown at its time-out, never again",
         {4, 2, {answering({Answers::Silent})}},
         {{8000, kUnknown}, {20, kWin}, {40, kWin}, {60, kWin}},
         {1, 3},
         0,
         0},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

// The mall closes idle connections while they wait: the looks 300 ms and 20 ms before the
// instant drop them, and a head written ahead on one never reached the mall whole.
TEST(ConnectionQueue, AStaleConnectionIsDroppedBeforeTheInstant) {
    const Row rows[] = {
        {"closed before the first look: its worker goes the next way",
         {4, 2, {closedAhead(500ms)}},
         {{20, kWin}, {20, kWin}, {40, kWin}, {60, kWin}},
         {0, 3},
         1,
         0},
        {"its head written ahead: unsent, once",
         {4, 2, {closedAhead(500ms)}, true},
         {{20, kWin}, {20, kWin}, {40, kWin}, {60, kWin}},
         {0, 3},
         1,
         1},
        {"closed between the looks",
         {4, 2, {closedAhead(100ms)}, true},
         {{20, kWin}, {20, kWin}, {40, kWin}, {60, kWin}},
         {0, 3},
         1,
         1},
        {"closed after the last look: its last byte fails, it goes again",
         {4, 2, {closedAhead(10ms)}, true},
         {{20, kWin}, {20, kWin}, {40, kWin}, {60, kWin}},
         {0, 3},
         1,
         1},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

// A worker told to come back lends its connection to one still waiting for its first turn.
TEST(ConnectionQueue, AWorkerWaitingToAskAgainLendsItsConnection) {
    const Row rows[] = {
        {"the waiting one goes at once; the lender takes it back once free",
         {2, 1, {answering({Answers::NotOpen, Answers::Win, Answers::Win})}},
         {{240, kWin, 2}, {40, kWin}},
         {3},
         0,
         0},
        {"still busy when the lender asks again: it waits its turn",
         {2, 1, {answering({Answers::NotOpen, Answers::SlowWin, Answers::Win})}},
         {{540, kWin, 2}, {520, kWin}},
         {3},
         0,
         0},
        {"closed meanwhile: the lender goes the next way",
         {2, 1, {answering({Answers::NotOpen, Answers::WinThenClose})}},
         {{240, kWin, 2}, {40, kWin}},
         {2},
         1,
         0},
        {"nobody waits: it keeps its connection",
         {1, 1, {answering({Answers::NotOpen, Answers::NotOpen, Answers::Win})}},
         {{460, kWin, 3}},
         {3},
         0,
         0},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

// Faults together, and a cancel at any moment: every worker still ends once, and the mall
// never takes a request that was also sent again.
TEST(ConnectionQueue, OneLinePerWorkerWhateverHappens) {
    const std::vector<ConnScript> mixed = {
        writing({Takes::AllButLast, Takes::Breaks}),
        answering({Answers::Reset}),
        answering({Answers::NotOpen, Answers::WinThenClose}),
        answering({Answers::SlowWin, Answers::Silent}),
        closedAhead(100ms),
    };
    struct Case {
        const char* name;
        int workers;
        int cap;
        bool lastByteSync;
        std::optional<std::chrono::milliseconds> cancelAt;
    };
    const Case cases[] = {
        {"more workers than connections", 12, 5, false, {}},
        {"as many", 5, 5, true, {}},
        {"cancelled at the instant", 12, 5, false, 0ms},
        {"cancelled with workers queued", 12, 5, true, 25ms},
        {"cancelled while the lender waits", 12, 5, false, 300ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ran r;
        run(r, {c.workers, c.cap, mixed, c.lastByteSync, c.cancelAt});
        expectOneLineEach(r, c.workers);
        EXPECT_EQ(r.log.find("never ended"), std::string::npos) << r.log;
        const int attempts = std::accumulate(r.lines.begin(), r.lines.end(), 0,
                                             [](int n, const Line& l) { return n + l.attempts; });
        // Each line's attempts are requests that left whole, bar one not yet out at a cancel.
        EXPECT_LE(r.summary.sends, attempts) << r.log;
        EXPECT_GE(r.summary.sends, attempts - c.workers) << r.log;
        EXPECT_EQ(r.summary.sends, r.mall.wire.whole() + r.journal.sendsBy("fallback")) << r.log;
    }
}

}  // namespace
}  // namespace vellicor::mall::test
