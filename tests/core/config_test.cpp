#include <gtest/gtest.h>

#include "platform/config.h"

namespace vellicor {
namespace {

TEST(Config, FileValuesOverrideDefaults) {
    auto c = parseConfig(
        "; comment\n[portal]\nmall = http://m.example:81\n\n[http]\nconnect_timeout_ms=1500\n"
        "[timer]\nserver_clock = off\n[exchange]\nmax_threads = 50\n");
    ASSERT_TRUE(c.ok()) << c.error().message;
    EXPECT_EQ(c->mall, "http://m.example:81");
    EXPECT_EQ(c->http.connectTimeoutMs, 1500);
    EXPECT_FALSE(c->timer.useServerClock);
    EXPECT_EQ(c->exchange.maxThreads, 50);
    EXPECT_EQ(c->forum, Config::defaults().forum);
}

TEST(Config, WindowKeys) {
    const Config d = Config::defaults();
    EXPECT_EQ(d.log.maxLines, 20000);
    EXPECT_TRUE(d.window.notifyWins);
    EXPECT_FALSE(d.window.rememberSession);
    auto c = parseConfig(
        "[log]\nmax_lines = 500\nkeep_days = 3\n[notify]\nwins = off\n"
        "[session]\nremember = on\n");
    ASSERT_TRUE(c.ok()) << c.error().message;
    EXPECT_EQ(c->log.maxLines, 500);
    EXPECT_EQ(c->log.keepDays, 3);
    EXPECT_FALSE(c->window.notifyWins);
    EXPECT_TRUE(c->window.rememberSession);
}

TEST(Config, RejectsWhatWouldHarmRequests) {
    struct Case {
        const char* text;
        const char* why;
    };
    const Case cases[] = {
        {"[http]\nconnect_timeout_ms = soon\n", "not a number"},
        {"[http]\ntotal_timeout_ms = 0\n", "zero time-out"},
        {"[http]\nmax_body_bytes = -1\n", "negative cap"},
        {"[timer]\nserver_clock = maybe\n", "not a truth value"},
        {"[timer]\naim = early\n", "no such aim"},
        {"[timer]\narrival_margin_ms = -0.1\n", "a margin that aims before the opening"},
        {"[timer]\narrival_margin_ms = 1000\n", "a margin of a second"},
        {"[timer]\narrival_margin_ms = nan\n", "not a number"},
        {"[portal]\nmall = http://m\rX-Injected: 1\n", "line break inside a host"},
        {"just words\n", "line without ="},
        {"[log]\nmax_lines = 0\n", "a log box that keeps nothing"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(parseConfig(c.text).ok()) << c.why;
    }
}

TEST(Config, TimerAim) {
    struct Case {
        const char* text;
        TimerAim aim;
        double marginMs;
    };
    const Case cases[] = {
        {"", TimerAim::Arrival, 0.5},
        {"[timer]\naim = send\n", TimerAim::Send, 0.5},
        {"[timer]\naim = arrival\narrival_margin_ms = 0.25\n", TimerAim::Arrival, 0.25},
    };
    for (const auto& c : cases) {
        auto got = parseConfig(c.text);
        ASSERT_TRUE(got.ok()) << c.text;
        EXPECT_EQ(got->timer.aim, c.aim) << c.text;
        EXPECT_DOUBLE_EQ(got->timer.arrivalMarginMs, c.marginMs) << c.text;
    }
}

TEST(Config, PortalReplacesEveryHost) {
    Config c = Config::defaults().withPortal("http://127.0.0.1:5000/");
    for (const auto* host :
         {&c.mall, &c.quickLogin, &c.accountLogin, &c.image, &c.forum, &c.download}) {
        EXPECT_EQ(*host, "http://127.0.0.1:5000");
    }
    EXPECT_EQ(c.domain, "127.0.0.1");
}

TEST(Config, MissingFileIsAnError) {
    auto c = loadConfig("/nonexistent/vellicor.ini");
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().code, ErrorCode::Io);
}

}  // namespace
}  // namespace vellicor
