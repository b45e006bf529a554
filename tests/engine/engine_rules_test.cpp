// The run's course by its rules, over scripted ways on a stepping clock: who fires when, a
// retime or a cancel at every phase, what goes again and when, and one line per worker
// whatever happens. What only sockets show is left to the socket tests.
#include <gtest/gtest.h>

#include <set>

#include "mall/catalogue.h"
#include "mall/exchange_controller.h"
#include "scripted_way.h"

namespace vellicor::mall::test {
namespace {

constexpr auto kAhead = 10s;  // how far ahead of the run's start a timed run's instant is

struct Shape {
    std::size_t items = 1;
    int perItem = 4;
    bool timed = true;
    long leadMs = 3000;
    long retryWindowMs = 30000;
    std::vector<web::Account> accounts;  // empty: the one session below
};

// Accounts named 小号1.. with sessions of their own.
std::vector<web::Account> accountsOf(std::size_t n) {
    std::vector<web::Account> made;
    for (std::size_t a = 1; a <= n; ++a) {
        const std::string number = std::to_string(10000 + a);
        made.push_back(web::makeAccount("小号" + std::to_string(a), "uin=o" + number + "; skey=k" + number));
    }
    return made;
}

Shape shaped(std::size_t items, int perItem) {
    Shape shape;
    shape.items = items;
    shape.perItem = perItem;
    return shape;
}

struct Ran {
    Journal journal;
    std::vector<std::string> lines;  // outcome lines
    std::string log;
    RunSummary summary;
    Clock::Steady fireAt{};
    std::shared_ptr<ExchangeRun::State> state;
    SteppingClock clock;

    int linesWith(std::string_view text) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [text](const auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    std::chrono::nanoseconds sinceFire(Clock::Steady at) const { return at - fireAt; }
};

std::vector<const Item*> someItems(std::size_t n) {
    std::vector<const Item*> chosen;
    for (const Item& item : items()) {
        if (item.enabled && chosen.size() < n) {
            chosen.push_back(&item);
        }
    }
    return chosen;
}

// `arrange` runs once the run's state exists, before its course: where hooks are set.
void run(Ran& r, Script& script, const Shape& setup,
         const std::function<void(Ran&)>& arrange = {}) {
    Config config = Config::defaults().withPortal("http://127.0.0.1:9");
    config.timer.preopenLeadMs = setup.leadMs;
    config.exchange.retryWindowMs = setup.retryWindowMs;
    config.exchange.throttleJitterPercent = 0;
    RunPlan plan{someItems(setup.items), setup.perItem,
                 setup.accounts.empty() ? web::oneAccount("uin=o10001; skey=k") : setup.accounts,
                 setup.accounts.size() > 1};
    RunOptions options;
    r.fireAt = r.clock.peek() + kAhead;
    if (setup.timed) {
        options.fireAt = r.fireAt;
    }
    options.transport = [&r, &script](const Config&) {
        return std::make_unique<ScriptedTransport>(r.clock, script, r.journal);
    };
    r.state = makeRunState(
        std::move(plan), config, r.clock,
        [&r](const std::string& line) {
            r.log += line;
            if (line.find("  :") != std::string::npos) {
                r.lines.push_back(line);
            }
        },
        [&r](const RunSummary& s) { r.summary = s; }, std::move(options));
    if (arrange) {
        arrange(r);
    }
    Engine(*r.state).run();
}

// On the stepping clock every look costs a microsecond: "at" a moment is within a
// millisecond after it.
void expectNear(std::chrono::nanoseconds at, std::chrono::nanoseconds expected, const char* what) {
    EXPECT_GE(at, expected) << what;
    EXPECT_LT(at, expected + 1ms) << what;
}

void expectOneLineEach(const Ran& r, int workers) {
    EXPECT_EQ(static_cast<int>(r.lines.size()), workers) << r.log;
    EXPECT_EQ(r.summary.lines, workers);
    std::multiset<std::string> prefixes;
    for (const auto& line : r.lines) {
        const auto hash = line.find('#');
        const auto end = line.find_first_of(" :", hash);
        prefixes.insert(line.substr(line.find('['), end - line.find('[')));
    }
    for (const auto& p : prefixes) {
        EXPECT_EQ(prefixes.count(p), 1u) << "twice: " << p << "\n" << r.log;
    }
    // What a way kept for a worker (its connection, for one queued behind it) goes once it ends.
    for (const auto& [way, released] : r.journal.released) {
        EXPECT_EQ(released, std::vector<int>(static_cast<std::size_t>(workers), 1)) << way;
    }
}

TEST(EngineRules, WhoFiresWhen) {
    enum class Opens { Ready, Declined, Fails };
    struct Row {
        const char* name;
        bool timed;
        long leadMs;
        Opens opens;
        std::size_t room;  // workers the first way holds
        std::vector<std::string> primed;
        int byFirst;
        int byFallback;
        int failed;  // lines of workers ended without a send
    };
    const Row rows[] = {
        {"the first way takes every worker", true, 3000, Opens::Ready, 100, {"first"}, 4, 0, 0},
        {"a declined way leaves the run to the next",
         true,
         3000,
         Opens::Declined,
         100,
         {"first", "fallback"},
         0,
         4,
         0},
        {"workers past the first way's room go the fallback at the instant too",
         true,
         3000,
         Opens::Ready,
         1,
         {"first"},
         1,
         3,
         0},
        {"a way that fails ends every worker with why",
         true,
         3000,
         Opens::Fails,
         100,
         {"first"},
         0,
         0,
         4},
        {"without a lead nothing is opened ahead", true, 0, Opens::Ready, 100, {}, 0, 4, 0},
        {"a run of now opens and goes at once", false, 3000, Opens::Ready, 100, {"first"}, 4, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Script script;
        script.ways[0].capacity = row.room;
        script.ways[0].primes =
            row.opens == Opens::Ready ? Result<WayLife::Primed>(WayLife::Primed::Ready)
            : row.opens == Opens::Declined
                ? Result<WayLife::Primed>(WayLife::Primed::Declined)
                : Result<WayLife::Primed>(makeError(ErrorCode::Tls, "certificate rejected"));
        Ran r;
        Shape shape;
        shape.timed = row.timed;
        shape.leadMs = row.leadMs;
        run(r, script, shape);

        EXPECT_EQ(r.journal.primed, row.primed);
        EXPECT_EQ(r.journal.sendsBy("first"), row.byFirst);
        EXPECT_EQ(r.journal.sendsBy("fallback"), row.byFallback);
        EXPECT_EQ(r.linesWith("certificate rejected"), row.failed);
        expectOneLineEach(r, 4);
        if (row.timed && !row.primed.empty()) {
            expectNear(r.journal.primedAt[0] - r.fireAt, -milliseconds(row.leadMs),
                       "opened once the lead time before the instant is reached");
        }
        const auto instant = row.timed ? r.fireAt : r.clock.peek() - 1h;  // now: any time
        for (const auto& sent : r.journal.sent) {
            EXPECT_GE(sent.at, instant) << "none before the instant";
            if (row.timed) {
                EXPECT_LT(r.sinceFire(sent.at), 1ms) << "every first request at the instant";
            }
        }
    }
}

TEST(EngineRules, ItemsShareTheFirstWayInTurn) {
    Script script;
    script.ways[0].capacity = 3;
    Ran r;
    run(r, script, shaped(3, 2));
    std::set<std::size_t> items;
    for (const auto& sent : r.journal.sent) {
        if (sent.way == "first") {
            items.insert(sent.worker % 3);  // workers take turns by item
        }
    }
    EXPECT_EQ(items.size(), 3u) << "each item has one of the three places";
    expectOneLineEach(r, 6);
}

// Beyond the first way's room, every account has its share of the places at the instant, and
// within it every item: the first sends differ by one at most between any two.
TEST(EngineRules, AccountsShareTheFirstWayByItemAndAccount) {
    struct Row {
        std::size_t accounts;
        std::size_t items;
        int perItem;
        std::size_t room;
    };
    const Row rows[] = {{3, 44, 20, 1000}, {3, 1, 400, 300}, {2, 5, 40, 33}, {3, 4, 30, 7}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.accounts) + " accounts, " + std::to_string(row.items) +
                     " items, room " + std::to_string(row.room));
        Script script;
        script.ways[0].capacity = row.room;
        Shape shape = shaped(row.items, row.perItem);
        shape.accounts = accountsOf(row.accounts);
        Ran r;
        run(r, script, shape);
        std::map<std::string, std::size_t> byAccount;
        std::map<std::pair<std::string, std::size_t>, std::size_t> bySlot;
        std::map<std::string, std::size_t> allByAccount;
        for (const auto& sent : r.journal.sent) {
            ++allByAccount[sent.cookies];
            if (sent.way == "first") {
                ++byAccount[sent.cookies];
                ++bySlot[{sent.cookies, sent.worker / row.accounts % row.items}];
            }
        }
        ASSERT_EQ(byAccount.size(), row.accounts);
        const std::size_t fair = row.room / row.accounts;
        for (const auto& [cookies, n] : byAccount) {
            EXPECT_GE(n, fair) << cookies;
            EXPECT_LE(n, fair + 1) << cookies;
        }
        const auto [least, most] =
            std::minmax_element(bySlot.begin(), bySlot.end(),
                                [](const auto& x, const auto& y) { return x.second < y.second; });
        EXPECT_LE(most->second - least->second, 1u);
        // Every account sent all its requests, each with its own session.
        for (const web::Account& account : shape.accounts) {
            EXPECT_EQ(allByAccount[account.cookies],
                      row.items * static_cast<std::size_t>(row.perItem))
                << account.name;
        }
        expectOneLineEach(r, static_cast<int>(row.accounts * row.items) * row.perItem);
    }
}

// Several accounts: the lines name the account after the item and the summary counts each
// one; one account's lines and summary are as they were without accounts.
TEST(EngineRules, LinesAndSummaryNameTheAccounts) {
    struct Row {
        std::size_t accounts;
        std::string start;                  // the first line of the log
        std::vector<std::string> prefixes;  // every outcome line has one of these
        std::vector<std::string> summary;   // in the summary line
        std::string absent;                 // nowhere in the log
    };
    const Row rows[] = {
        {0,
         "开始兑换：2 个商品，每个 3 个请求，共 6 个",
         {"] #"},
         {"兑换结束：共 6 个请求"},
         "小号"},
        {1,
         "开始兑换：2 个商品，每个 3 个请求，共 6 个",
         {"] #"},
         {"兑换结束：共 6 个请求"},
         "小号"},
        {2,
         "开始兑换：2 个帐号，2 个商品，每个 3 个请求，共 12 个",
         {"] 小号1 #", "] 小号2 #"},
         {"兑换结束：共 12 个请求", "\r\n  帐号 小号1 未中奖 6\r\n",
          "\r\n  帐号 小号2 请求失败 6\r\n"},
         "] #"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.accounts) + " accounts");
        Script script;
        Shape shape = shaped(2, 3);
        shape.accounts = accountsOf(row.accounts);
        if (row.accounts == 2) {
            for (std::size_t w = 1; w < 12; w += 2) {  // workers take turns by account
                script.answers[w] = {Says::Fails};
            }
        }
        Ran r;
        run(r, script, shape);
        EXPECT_EQ(startLine(RunPlan{someItems(2), 3, shape.accounts}),
                  row.start);
        for (const auto& line : r.lines) {
            EXPECT_TRUE(
                std::any_of(row.prefixes.begin(), row.prefixes.end(),
                            [&line](const auto& p) { return line.find(p) != std::string::npos; }))
                << line;
        }
        const std::string summary = summaryLine(r.summary);
        for (const auto& part : row.summary) {
            EXPECT_NE(summary.find(part), std::string::npos) << part << "\n" << summary;
        }
        EXPECT_EQ(r.log.find(row.absent), std::string::npos) << r.log;
        ASSERT_EQ(r.summary.accounts.size(), row.accounts > 1 ? row.accounts : 0u);
        if (row.accounts == 2) {
            EXPECT_EQ(r.summary.accounts[0].count(OutcomeKind::LotteryLoss), 6);
            EXPECT_EQ(r.summary.accounts[1].count(OutcomeKind::Failed), 6);
        }
    }
}

TEST(EngineRules, IdleConnectionsAreLookedAtTwiceBeforeTheInstant) {
    Script script;
    Ran r;
    run(r, script, {});
    // Each kept way: the first, and the fallback that is always kept.
    ASSERT_EQ(r.journal.looks.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(r.journal.looks[k].first, k % 2 == 0 ? "first" : "fallback");
        expectNear(r.journal.looks[k].second - r.fireAt, k < 2 ? -300ms : -20ms, "a look");
    }
}

enum class Phase { BeforePrime, Primed, AtInstant, AfterFire };
enum class Act { RetimeLater, Cancel };

// Sets `act` to happen once, at `phase`; `accepted` says whether a retime was followed.
void actAt(Ran& r, Script& script, Phase phase, Act act, std::optional<bool>& accepted) {
    auto once = std::make_shared<bool>(false);
    auto doIt = [&r, act, &accepted, once] {
        if (std::exchange(*once, true)) {
            return;
        }
        if (act == Act::Cancel) {
            r.state->cancel();
        } else {
            accepted = r.state->options.fireAt && r.state->moveFireAt(r.fireAt + 2s);
        }
    };
    switch (phase) {
        case Phase::BeforePrime:
            r.clock.onSleep = [&r, doIt](Clock::Steady) {
                if (r.journal.primed.empty()) {
                    doIt();
                }
            };
            break;
        case Phase::Primed:
            script.ways[0].onPrime = doIt;
            break;
        case Phase::AtInstant:
            r.clock.onSleep = [&r, doIt](Clock::Steady) {
                if (r.state->fireFixed) {
                    doIt();
                }
            };
            break;
        case Phase::AfterFire:
            script.ways[0].onFire = doIt;
            break;
    }
}

TEST(EngineRules, RetimeAndCancelAtEveryPhase) {
    struct Row {
        const char* name;
        Phase phase;
        Act act;
        std::optional<bool> accepted;
        std::chrono::milliseconds firesAfter;  // since the first instant
        int primes;
        int sends;
        const char* says;  // in every line
    };
    const Row rows[] = {
        {"retimed before the opening", Phase::BeforePrime, Act::RetimeLater, true, 2000ms, 1, 4,
         "差一点点"},
        {"retimed once opened", Phase::Primed, Act::RetimeLater, true, 2000ms, 1, 4, "差一点点"},
        {"retimed at the instant: too late", Phase::AtInstant, Act::RetimeLater, false, 0ms, 1, 4,
         "差一点点"},
        {"retimed after the fire: too late", Phase::AfterFire, Act::RetimeLater, false, 0ms, 1, 4,
         "差一点点"},
        {"cancelled before the opening",
         Phase::BeforePrime,
         Act::Cancel,
         {},
         0ms,
         0,
         0,
         "已取消，本次兑换已停止"},
        {"cancelled once opened",
         Phase::Primed,
         Act::Cancel,
         {},
         0ms,
         1,
         0,
         "已取消，本次兑换已停止"},
        {"cancelled at the instant",
         Phase::AtInstant,
         Act::Cancel,
         {},
         0ms,
         1,
         0,
         "已取消，本次兑换已停止"},
        {"cancelled after the fire",
         Phase::AfterFire,
         Act::Cancel,
         {},
         0ms,
         1,
         4,
         "已发出，结果未知，本次兑换已停止"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Script script;
        Ran r;
        std::optional<bool> accepted;
        run(r, script, {}, [&](Ran& ran) { actAt(ran, script, row.phase, row.act, accepted); });

        EXPECT_EQ(accepted, row.accepted);
        EXPECT_EQ(static_cast<int>(r.journal.primed.size()), row.primes);
        ASSERT_EQ(static_cast<int>(r.journal.sent.size()), row.sends) << r.log;
        EXPECT_EQ(r.summary.sends, row.sends);
        for (const auto& sent : r.journal.sent) {
            EXPECT_GE(r.sinceFire(sent.at), row.firesAfter);
            EXPECT_LT(r.sinceFire(sent.at), row.firesAfter + 1ms);
        }
        if (row.primes > 0 && row.act == Act::RetimeLater) {
            expectNear(r.journal.primedAt[0] - r.fireAt,
                       row.phase == Phase::BeforePrime ? -1000ms : -3000ms,
                       "the opening follows a retime made before it");
        }
        EXPECT_EQ(r.linesWith(row.says), 4) << r.log;
        EXPECT_EQ(r.summary.cancelled, row.act == Act::Cancel);
        // Cancelled before its instant, a run is sure to send nothing: another may start.
        const bool beforeFire = row.act == Act::Cancel && row.phase != Phase::AfterFire;
        EXPECT_EQ(r.state->phase.load(),
                  beforeFire ? ExchangeRun::State::Cancelled : ExchangeRun::State::Fired);
        expectOneLineEach(r, 4);
    }
}

TEST(EngineRules, AskingAgain) {
    using Gaps = std::vector<std::chrono::milliseconds>;
    struct Row {
        const char* name;
        std::vector<Says> answers;  // worker 0's
        long retryWindowMs;
        int sends;
        int unsent;
        Gaps gaps;  // from one send to the next
        const char* line;
    };
    const Row rows[] = {
        {"not open: again after the fixed pause",
         {Says::NotOpen, Says::NotOpen, Says::Win},
         30000,
         3,
         0,
         {220ms, 220ms},
         "#1 第3次  :差一点点就中奖了"},
        {"told to slow down: the pause doubles",
         {Says::Throttled, Says::Throttled, Says::Throttled, Says::Throttled, Says::Win},
         30000,
         5,
         0,
         {520ms, 1020ms, 2020ms, 4020ms},
         "#1 第5次  :差一点点"},
        {"lost after it left: unknown, never again",
         {Says::Lost, Says::Win},
         30000,
         1,
         0,
         {},
         "#1  :已发出，结果未知（reset）"},
        {"no answer in time: unknown, never again",
         {Says::Silent, Says::Win},
         30000,
         1,
         0,
         {},
         "#1  :已发出，结果未知（timed out）"},
        {"refused: again at once, as the same attempt",
         {Says::Refused, Says::Win},
         30000,
         1,
         1,
         {20ms},
         "#1  :差一点点"},
        {"failed before it left: not asked again",
         {Says::Fails, Says::Win},
         30000,
         0,
         1,
         {},
         "#1  :请求失败：refused"},
        {"not open past the window: the last answer stands",
         {Says::NotOpen},
         1000,
         5,
         0,
         {220ms, 220ms, 220ms, 220ms},
         "#1 第5次  :点开始兑换，请稍后再来"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Script script;
        script.answers[0] = row.answers;
        Ran r;
        Shape shape = shaped(1, 1);
        shape.retryWindowMs = row.retryWindowMs;
        int throttleCalls = 0;
        run(r, script, shape, [&throttleCalls](Ran& ran) {
            ran.state->options.onThrottled = [&throttleCalls](const Item&, const Outcome&,
                                                              const std::string&) {
                ++throttleCalls;
            };
        });

        ASSERT_EQ(r.journal.sendsOf(0), static_cast<int>(row.gaps.size()) + 1) << r.log;
        // The first "slow down" is told as it comes, though the request later won.
        const bool throttled = row.answers[0] == Says::Throttled;
        EXPECT_EQ(throttleCalls, throttled ? 1 : 0);
        EXPECT_EQ(r.summary.sends, row.sends);
        EXPECT_EQ(r.summary.unsent, row.unsent);
        for (std::size_t k = 0; k < row.gaps.size(); ++k) {
            const auto gap = r.journal.sent[k + 1].at - r.journal.sent[k].at;
            EXPECT_GE(gap, row.gaps[k]) << "gap " << k;
            EXPECT_LT(gap, row.gaps[k] + 2ms) << "gap " << k;  // a wait ends on a whole ms
        }
        EXPECT_EQ(r.linesWith(row.line), 1) << r.log;
        // A refused request goes again at once: it does not wait to ask again.
        const std::size_t retries = row.answers[0] == Says::Refused ? 0 : row.gaps.size();
        EXPECT_EQ(r.journal.paused.size(), 2 * retries) << "each way lends what it kept";
        expectOneLineEach(r, 1);
    }
}

// Workers 0 and 2 ask for the first item, 1 and 3 for the second.
TEST(EngineRules, SoldOutStopsTheItemsRetries) {
    struct Row {
        const char* name;
        std::map<std::size_t, std::vector<Says>> answers;
        std::vector<int> sends;  // by worker
        int stopped;             // lines that say the item's retries stopped
    };
    const Row rows[] = {
        {"a worker waiting to ask again ends",
         {{0, {Says::NotOpen, Says::Win}}, {2, {Says::SoldOut}}, {1, {Says::NotOpen, Says::Win}}},
         {1, 2, 1, 1},
         1},
        {"a later 'not open' is not asked again",
         {{0, {Says::SoldOut}}, {2, {Says::NotOpen, Says::Win}}},
         {1, 1, 1, 1},
         1},
        {"told to slow down after it sold out: not asked again",
         {{0, {Says::SoldOut}}, {2, {Says::Throttled, Says::Win}}},
         {1, 1, 1, 1},
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Script script;
        script.answers = row.answers;
        Ran r;
        run(r, script, shaped(2, 2));
        for (std::size_t w = 0; w < row.sends.size(); ++w) {
            EXPECT_EQ(r.journal.sendsOf(w), row.sends[w]) << "worker " << w << "\n" << r.log;
        }
        EXPECT_EQ(r.linesWith("（该商品已兑换完，停止重试）"), row.stopped) << r.log;
        expectOneLineEach(r, 4);
    }
}

TEST(EngineRules, OneLinePerWorkerWhateverHappens) {
    struct Row {
        const char* name;
        std::map<std::size_t, std::vector<Says>> answers;
        std::size_t room;
        std::optional<Error> pollFails;
        std::optional<Phase> cancelAt;
        const char* says;  // in some line, if set
    };
    const Error broken = makeError(ErrorCode::Internal, "网络等待失败：out of memory");
    const Row rows[] = {
        {"every answer kind at once",
         {{0, {Says::Win}},
          {1, {Says::NotOpen, Says::Win}},
          {2, {Says::Throttled, Says::SoldOut}},
          {3, {Says::Lost}},
          {4, {Says::Refused, Says::Refused, Says::Win}},
          {5, {Says::Fails}},
          {6, {Says::Silent}},
          {7, {Says::SoldOut}},
          {8, {Says::NotOpen}}},
         100,
         {},
         {},
         nullptr},
        {"half past the first way's room",
         {{1, {Says::Lost}}, {7, {Says::Refused, Says::Win}}},
         4,
         {},
         {},
         nullptr},
        {"waiting itself fails: sent ones unknown",
         {{0, {Says::Silent}}, {4, {Says::NotOpen}}},
         100,
         broken,
         {},
         "已发出，结果未知（网络等待失败"},
        {"cancelled with retries waiting",
         {{2, {Says::NotOpen}}, {5, {Says::Silent}}},
         100,
         {},
         Phase::AfterFire,
         "已发出，结果未知，本次兑换已停止"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Script script;
        script.answers = row.answers;
        script.ways[0].capacity = row.room;
        script.pollFails = row.pollFails;
        Ran r;
        std::optional<bool> unused;
        run(r, script, shaped(3, 3), [&](Ran& ran) {
            if (row.cancelAt) {
                actAt(ran, script, *row.cancelAt, Act::Cancel, unused);
            }
        });
        expectOneLineEach(r, 9);
        EXPECT_EQ(r.journal.pollMismatches, 0) << "each way gets its own entries back";
        if (row.says != nullptr) {
            EXPECT_GT(r.linesWith(row.says), 0) << r.log;
        }
        for (std::size_t w = 0; w < 9; ++w) {
            const auto& a = row.answers.count(w) ? row.answers.at(w) : std::vector<Says>{};
            if (!a.empty() && (a[0] == Says::Lost || a[0] == Says::Silent)) {
                EXPECT_EQ(r.journal.sendsOf(w), 1) << "worker " << w << " never sent twice";
            }
        }
        EXPECT_NE(r.log.rfind("\r\n"), std::string::npos);
    }
}

// The same seam through the window's and the command line's entry: the controller runs its
// runs on their own thread, over whatever transport the options name.
TEST(EngineRules, TheControllerTakesTheTransportFromTheOptions) {
    SteppingClock clock;
    Script script;
    Journal journal;
    std::string log;
    ExchangeController controller(Config::defaults().withPortal("http://127.0.0.1:9"), clock,
                                  [&log](const std::string& line) { log += line; });
    RunOptions options;
    options.transport = [&](const Config&) {
        return std::make_unique<ScriptedTransport>(clock, script, journal);
    };
    ASSERT_TRUE(
        controller.start({std::string(someItems(1)[0]->id)}, "3", web::oneAccount("uin=o10001; skey=k"), options));
    controller.wait();
    const auto summary = controller.lastSummary();
    ASSERT_TRUE(summary.has_value()) << log;
    EXPECT_EQ(summary->sends, 3);
    EXPECT_EQ(journal.sendsBy("first"), 3) << log;
}

}  // namespace
}  // namespace vellicor::mall::test
