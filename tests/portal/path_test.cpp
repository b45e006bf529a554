// The way between the tool and the mall: a request counts as taken a while after its bytes
// came in, and its reply leaves a while after that.

#include <gtest/gtest.h>

#include <chrono>

#include "client.h"
#include "mall/clock_sync.h"
#include "portal/mall_state.h"
#include "portal/scenario.h"
#include "portal/server.h"

namespace vellicor::portal {
namespace {

std::int64_t realNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(PortalPath, ScenarioTakesAPath) {
    struct Case {
        const char* json;
        bool ok;
        NetworkPath path;
    };
    const Case cases[] = {
        {R"({})", true, {}},
        {R"({"path": {"upMs": 15, "downMs": 30.5}})", true, {15, 30.5, 0}},
        {R"({"path": {"upMs": 5, "jitterMs": 2}})", true, {5, 0, 2}},
        {R"({"path": {"upMs": -1}})", false, {}},
        {R"({"path": {"jitterMs": -0.5}})", false, {}},
        {R"({"path": {"up": 5}})", false, {}},
        {R"({"path": 5})", false, {}},
    };
    for (const auto& c : cases) {
        auto got = parseScenario(c.json);
        ASSERT_EQ(got.ok(), c.ok) << c.json;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(got->path.upMs, c.path.upMs) << c.json;
            EXPECT_DOUBLE_EQ(got->path.downMs, c.path.downMs) << c.json;
            EXPECT_DOUBLE_EQ(got->path.jitterMs, c.path.jitterMs) << c.json;
        }
    }
}

TEST(PortalPath, JitterOnlyLengthensEachDirection) {
    using std::chrono::nanoseconds;
    struct Case {
        NetworkPath path;
    };
    const Case cases[] = {{{0, 0, 0}}, {{15, 30, 0}}, {{30, 5, 4}}, {{0, 0, 0.01}}};
    for (const auto& c : cases) {
        Scenario s = defaultScenario();
        s.path = c.path;
        MallState state;
        state.setScenario(s, PortalTime{std::chrono::system_clock::now(), 0});
        const auto ns = [](double ms) { return nanoseconds(std::llround(ms * 1e6)); };
        nanoseconds leastUp = nanoseconds::max();
        nanoseconds mostUp = nanoseconds::min();
        for (int i = 0; i < 200; ++i) {
            const PathDelay d = state.drawPath();
            EXPECT_GE(d.up, ns(c.path.upMs));
            EXPECT_LE(d.up, ns(c.path.upMs + c.path.jitterMs));
            EXPECT_GE(d.down, ns(c.path.downMs));
            EXPECT_LE(d.down, ns(c.path.downMs + c.path.jitterMs));
            leastUp = std::min(leastUp, d.up);
            mostUp = std::max(mostUp, d.up);
        }
        EXPECT_EQ(leastUp<mostUp, c.path.jitterMs> 0) << c.path.jitterMs;
    }
}

// The item opens 30 ms after the scenario is set; the request is sent at once, but counts as
// taken 60 ms after its bytes came in, so it finds the item open. The log, the Date and the
// reply's departure all follow the path.
TEST(PortalPath, RequestIsTakenAndDatedWhenItHasComeTheWholeWay) {
    auto started = Server::start(
        R"({"clockOffsetMs": 250.5, "path": {"upMs": 60, "downMs": 20},
            "items": {"1397711761": {"opensAfterMs": 30}}})");
    ASSERT_TRUE(started.ok()) << started.error().message;
    auto& server = **started;
    const std::string cookie = server.sessionCookie().value();
    const std::int64_t before = realNanos();
    const auto reply = test::fetch(
        server.port(),
        "/mall/index.php?op=exchangeing&gid=2&type=2&propsid=1397711761&way=1&g_tk=1", cookie);
    const std::int64_t after = realNanos();
    EXPECT_NE(reply.text.find("成功兑换改名"), std::string::npos) << reply.text;
    const auto log = server.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_GE(log[0].arrivalNanos, before + 60'000'000);
    EXPECT_GE(log[0].completedNanos, log[0].arrivalNanos);
    EXPECT_GE(after - before, 80'000'000);
    const std::int64_t mallNanos = log[0].completedNanos + 250'500'000;
    EXPECT_EQ(mall::parseHttpDate(reply.header("Date")), mallNanos / 1'000'000'000);
}

}  // namespace
}  // namespace vellicor::portal
