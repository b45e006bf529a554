// A run's timeline as the engine records it, over scripted ways on a stepping clock: requests
// with known send and answer times give known CSV rows, counted from the opening.
#include <gtest/gtest.h>

#include <sstream>

#include "mall/catalogue.h"
#include "mall/timeline.h"
#include "scripted_way.h"

namespace vellicor::mall::test {
namespace {

constexpr auto kAhead = 10s;

struct Ran {
    SteppingClock clock;
    Journal journal;
    RunSummary summary;
};

void runScripted(Ran& r, Script& script, int perItem, bool timed,
                 std::optional<TimelineFrame> frame, std::vector<web::Account> accounts = {}) {
    Config config = Config::defaults().withPortal("http://127.0.0.1:9");
    std::vector<const Item*> chosen{findItem("cf-rename")};
    const bool several = accounts.size() > 1;
    RunPlan plan{chosen, perItem,
                 accounts.empty() ? web::oneAccount("uin=o10001; skey=k") : std::move(accounts),
                 several};
    RunOptions options;
    if (timed) {
        options.fireAt = r.clock.peek() + kAhead;
    }
    options.timeline = true;
    options.timelineFrame = frame;
    options.transport = [&r, &script](const Config&) {
        return std::make_unique<ScriptedTransport>(r.clock, script, r.journal);
    };
    auto state = makeRunState(
        std::move(plan), config, r.clock, [](const std::string&) {},
        [&r](const RunSummary& s) { r.summary = s; }, std::move(options));
    Engine(*state).run();
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ',')) {
        out.push_back(field);
    }
    if (!line.empty() && line.back() == ',') {
        out.emplace_back();
    }
    return out;
}

// A row as expected: times in ms since the opening, empty where none; the stepping clock
// costs a microsecond a look, so a time is met within a tenth of a millisecond after it.
struct Row {
    std::string account;
    int worker;
    int attempt;
    std::optional<double> left;
    std::optional<double> reached;
    std::optional<double> answered;
    std::string outcome;
};

void expectTime(const std::string& field, std::optional<double> expected, const char* column) {
    if (!expected) {
        EXPECT_EQ(field, "") << column;
        return;
    }
    ASSERT_FALSE(field.empty()) << column;
    EXPECT_GE(std::stod(field), *expected) << column;
    EXPECT_LT(std::stod(field), *expected + 0.1) << column;
}

void expectRows(const RunSummary& summary, const std::vector<Row>& rows) {
    ASSERT_TRUE(summary.timeline);
    std::istringstream csv(timelineCsv(*summary.timeline));
    std::string line;
    std::getline(csv, line);  // the header
    for (const Row& row : rows) {
        ASSERT_TRUE(std::getline(csv, line)) << "a row for #" << row.worker;
        SCOPED_TRACE(line);
        const auto f = fields(line);
        ASSERT_EQ(f.size(), 15u);
        EXPECT_EQ(f[0], row.account);
        EXPECT_EQ(f[1], "cf-rename");
        EXPECT_EQ(f[3], std::to_string(row.worker));
        EXPECT_EQ(f[4], std::to_string(row.attempt));
        expectTime(f[5], row.left, "left");
        expectTime(f[6], row.reached, "reached");
        expectTime(f[7], row.reached ? std::optional(*row.reached - 1) : std::nullopt, "earliest");
        expectTime(f[8], row.reached ? std::optional(*row.reached + 1) : std::nullopt, "latest");
        expectTime(f[9], row.answered, "answered");
        EXPECT_EQ(f[10], row.outcome);
    }
    EXPECT_FALSE(std::getline(csv, line)) << "no more rows: " << line;
}

// Fired 2 ms after the mall's clock shows the opening, 5 ms (4 to 6) from the mall; every
// answer 20 ms after its request, a retry 200 ms after "not yet".
TEST(TimelineRun, KnownSendsAndAnswersGiveKnownRows) {
    const TimelineFrame aimed{2ms, true, TimelineReach{5ms, 4ms, 6ms},
                              Clock::WallTime(std::chrono::seconds(1704081600))};
    struct Case {
        const char* what;
        bool timed;
        std::optional<TimelineFrame> frame;
        TimelineOrigin origin;
        double fired;  // where the instant lands since the origin
        bool reached;
    };
    const Case cases[] = {
        {"timed on the mall's clock", true, aimed, TimelineOrigin::MallOpening, 2, true},
        {"timed on the computer's clock", true, std::nullopt, TimelineOrigin::LocalOpening, 0,
         false},
        {"a run of now", false, std::nullopt, TimelineOrigin::FirstSend, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Script script;
        script.answers[0] = {Says::NotOpen, Says::Win};
        script.answers[1] = {Says::Lost};
        script.answers[2] = {Says::Fails};
        Ran r;
        runScripted(r, script, 3, c.timed, c.frame);
        ASSERT_TRUE(r.summary.timeline);
        EXPECT_EQ(r.summary.timeline->origin, c.origin);
        EXPECT_EQ(r.summary.timeline->opening, c.frame ? c.frame->opening : std::nullopt);
        const double t = c.fired;
        const auto at = [&c](double left) {
            return c.reached ? std::optional(left + 5) : std::nullopt;
        };
        expectRows(r.summary, {
                                  {"", 1, 1, t, at(t), t + 20, "not_open"},
                                  {"", 1, 2, t + 220, at(t + 220), t + 240, "draw_lost"},
                                  {"", 2, 1, t, at(t), t + 20, "unknown"},
                                  {"", 3, 1, t, at(t), t + 20, "failed"},
                              });
    }
}

// A run cancelled before its instant sent nothing: each worker still has its row, with no
// send; with several accounts each row names its account.
TEST(TimelineRun, WorkersThatNeverSentHaveARowEach) {
    Script script;
    Ran r;
    std::vector<web::Account> accounts{web::makeAccount("小号1", "uin=o10001; skey=a"),
                                       web::makeAccount("小号2", "uin=o10002; skey=b")};
    Config config = Config::defaults().withPortal("http://127.0.0.1:9");
    RunPlan plan{{findItem("cf-rename")}, 1, accounts, true};
    RunOptions options;
    options.fireAt = r.clock.peek() + kAhead;
    options.timeline = true;
    options.transport = [&r, &script](const Config&) {
        return std::make_unique<ScriptedTransport>(r.clock, script, r.journal);
    };
    auto state = makeRunState(
        std::move(plan), config, r.clock, [](const std::string&) {},
        [&r](const RunSummary& s) { r.summary = s; }, std::move(options));
    r.clock.onSleep = [&state](Clock::Steady) { state->cancel(); };
    Engine(*state).run();
    ASSERT_TRUE(r.summary.timeline);
    EXPECT_EQ(r.summary.timeline->lanes.size(), 2u);
    std::istringstream csv(timelineCsv(*r.summary.timeline));
    std::string line;
    std::getline(csv, line);
    for (const std::string account : {"小号1", "小号2"}) {
        ASSERT_TRUE(std::getline(csv, line)) << account;
        const auto f = fields(line);
        ASSERT_EQ(f.size(), 15u) << line;
        EXPECT_EQ(f[0], account);
        EXPECT_EQ(f[4], "0") << "no attempt";
        EXPECT_EQ(f[5], "") << "never left";
        EXPECT_LT(std::stod(f[9]), 0) << "ended before the instant";
        EXPECT_EQ(f[10], "cancelled");
    }
    EXPECT_FALSE(std::getline(csv, line)) << line;
}

}  // namespace
}  // namespace vellicor::mall::test
