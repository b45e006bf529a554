#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/bounded_file.h"
#include "platform/config.h"
#include "platform/quote.h"
#include "web/accounts_file.h"

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
    EXPECT_EQ(c->exchange.maxWorkers, 50);
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

// A value is the rest of its line as written, however long and whatever it holds; a line that
// would continue a value or use another separator is refused, named, not guessed at.
TEST(Config, ValuesWholeAndOddLinesRefused) {
    const std::string longPath = "/" + std::string(300, 'a');
    struct Case {
        std::string text;
        std::string proxy;  // expected when the file is taken
        std::string caFile;
        const char* error;  // expected message, or nullptr
    };
    const Case cases[] = {
        {"[http]\nproxy = user:pa ;ss@h:1\n", "user:pa ;ss@h:1", "", nullptr},
        {"[http]\nproxy = h:1 # not a comment\n", "h:1 # not a comment", "", nullptr},
        {"[http]\nca_file = " + longPath + "\n", "", longPath, nullptr},
        {"[http]\nproxy = h:1\n  X-Injected: 1\n", "", "", "configuration line 3 without '='"},
        {"[http]\nproxy: h:1\n", "", "", "configuration line 2 without '='"},
    };
    for (const auto& c : cases) {
        const auto got = parseConfig(c.text);
        if (c.error != nullptr) {
            ASSERT_FALSE(got.ok()) << c.text;
            EXPECT_EQ(got.error().message, c.error);
            continue;
        }
        ASSERT_TRUE(got.ok()) << c.text << got.error().message;
        EXPECT_EQ(got->http.proxy, c.proxy) << c.text;
        EXPECT_EQ(got->http.caFile, c.caFile) << c.text;
    }
}

// Each value just past its bound is refused with the key and the range in the message;
// the bound itself is taken.
TEST(Config, NumbersOutsideTheirRange) {
    struct Case {
        const char* section;
        const char* key;
        const char* bad;
        const char* good;
        const char* says;
    };
    const Case cases[] = {
        {"http", "connect_timeout_ms", "0", "1", "must lie in 1..86400000"},
        {"http", "total_timeout_ms", "-5", "86400000", "must lie in 1..86400000"},
        {"http", "total_timeout_ms", "86400001", "8000", "must lie in 1..86400000"},
        {"http", "max_body_bytes", "0", "1", "must lie in 1..1073741824"},
        {"http", "max_body_bytes", "1073741825", "1073741824", "must lie in 1..1073741824"},
        {"exchange", "retry_pause_ms", "-1", "0", "must lie in 0..86400000"},
        {"exchange", "retry_window_ms", "-1", "0", "must lie in 0..86400000"},
        {"exchange", "max_threads", "-5", "1", "must lie in 1..100000"},
        {"exchange", "max_threads", "100001", "100000", "must lie in 1..100000"},
        {"exchange", "max_connections_per_host", "0", "100000", "must lie in 1..100000"},
        {"exchange", "throttle_backoff_ms", "-1", "0", "must lie in 0..86400000"},
        {"exchange", "throttle_backoff_max_ms", "-1", "4000", "must lie in 0..86400000"},
        {"exchange", "throttle_jitter_percent", "101", "100", "must lie in 0..100"},
        {"exchange", "throttle_jitter_percent", "-1", "0", "must lie in 0..100"},
        {"timer", "preopen_lead_ms", "-1", "0", "must lie in 0..86400000"},
        {"log", "max_lines", "0", "1", "must lie in 1..2147483647"},
        {"log", "keep_days", "-3", "1", "must lie in 1..2147483647"},
        {"log", "keep_days", "2147483648", "2147483647", "must lie in 1..2147483647"},
        {"exchange", "max_threads", "99999999999999999999", "1000", "must lie in 1..100000"},
        {"publisher", "thread", "0", "1", "must be at least 1"},
        {"publisher", "thread", "-99999999999999999999", "1", "must be at least 1"},
    };
    for (const auto& c : cases) {
        const std::string head = std::string("[") + c.section + "]\n" + c.key + " = ";
        const auto bad = parseConfig(head + c.bad + "\n");
        ASSERT_FALSE(bad.ok()) << c.key << " = " << c.bad;
        EXPECT_EQ(bad.error().message, std::string(c.section) + "." + c.key + " " + c.says);
        EXPECT_TRUE(parseConfig(head + c.good + "\n").ok()) << c.key << " = " << c.good;
    }
}

TEST(Config, BackoffMaximumBelowItsStart) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"[exchange]\nthrottle_backoff_ms = 800\nthrottle_backoff_max_ms = 800\n", true},
        {"[exchange]\nthrottle_backoff_ms = 800\nthrottle_backoff_max_ms = 799\n", false},
        // Against the default maximum of 4000.
        {"[exchange]\nthrottle_backoff_ms = 5000\n", false},
    };
    for (const auto& c : cases) {
        const auto got = parseConfig(c.text);
        EXPECT_EQ(got.ok(), c.ok) << c.text;
        if (!got.ok()) {
            EXPECT_NE(got.error().message.find("exchange.throttle_backoff_max_ms must be at least"),
                      std::string::npos)
                << got.error().message;
        }
    }
}

// What a file that is not UTF-8 text says about itself reaches the terminal: no control byte,
// no malformed sequence, and not the whole file.
TEST(Config, NonTextFilesQuotedSafely) {
    std::string random;
    for (int i = 0; i < 4096; ++i) {
        random += static_cast<char>((i * 131 + 7) % 255 + 1);  // no NUL: not taken for UTF-16
    }
    const std::string utf16le("\xFF\xFE[\0h\0t\0t\0p\0]\0\n\0", 16);
    const std::string utf16be("\xFE\xFF\0[\0h\0t\0t\0p\0]\0\n", 16);
    const std::string escapes = "\x1b]0;owned\x07\x1b[2J no equals sign here";
    const std::string gbk = "[portal]\nmall = http://m\n; \xB6\xD2\xBB\xBB\n";
    for (const std::string& bytes : {random, utf16le, utf16be, escapes, gbk}) {
        const auto got = parseConfig(bytes);
        ASSERT_FALSE(got.ok());
        const std::string& m = got.error().message;
        EXPECT_LT(m.size(), 400u) << m;
        EXPECT_TRUE(isUtf8(m)) << m;
        for (unsigned char ch : m) {
            EXPECT_FALSE(ch < 0x20 || ch == 0x7F) << m;
        }
    }
    EXPECT_EQ(parseConfig(gbk).error().message, "configuration line 3 is not UTF-8 text");
    // A byte order mark is not an error.
    EXPECT_TRUE(parseConfig("\xEF\xBB\xBF[exchange]\nmax_threads = 5\n").ok());
}

TEST(Quote, EscapesAndCaps) {
    struct Case {
        std::string bytes;
        std::size_t cap;
        std::string quoted;
    };
    const Case cases[] = {
        {"plain text", 80, "\"plain text\""},
        {"兑换", 80, "\"兑换\""},
        {"a\"b\\c", 80, "\"a\\x22b\\x5cc\""},
        {"\t\r\n\x7f", 80, "\"\\x09\\x0d\\x0a\\x7f\""},
        {"\xC2\x9B"
         "31m",
         80, "\"\\xc2\\x9b31m\""},                                      // C1 control
        {"\xC0\xAF\xED\xA0\x80", 80, "\"\\xc0\\xaf\\xed\\xa0\\x80\""},  // overlong, surrogate
        {"\xE5\x85", 80, "\"\\xe5\\x85\""},                             // cut-off character
        {"abcdef", 4, "\"abcd\"…"},
        {"ab兑换", 4, "\"ab\"…"},  // never half a character
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoteBytes(c.bytes, c.cap), c.quoted) << c.bytes;
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

// The configuration and the accounts file are read up to 1 MiB and one byte: a file at the
// bound is read whole, anything longer (a device, a pipe that never ends) is refused.
TEST(SettingsFiles, ReadingStopsPastOneMebibyte) {
    const std::string atBound = testing::TempDir() + "vellicor-1mib.txt";
    const std::string overBound = testing::TempDir() + "vellicor-1mib-and-1.txt";
    std::ofstream(atBound, std::ios::binary) << std::string(kMostSettingsBytes, '#');
    std::ofstream(overBound, std::ios::binary) << std::string(kMostSettingsBytes + 1, '#');
    // A pipe whose writer goes on until its reader leaves (then its write fails, no signal).
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([fd = ends[1]] {
        const std::string block(4096, '#');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    });
    const std::string endless = "/dev/fd/" + std::to_string(ends[0]);
    struct Case {
        std::string path;
        bool read;
    };
    const Case cases[] = {
        {atBound, true}, {overBound, false}, {"/dev/zero", false}, {endless, false}};
    for (const Case& c : cases) {
        const auto bytes = readBoundedFile(c.path);
        EXPECT_EQ(bytes.ok(), c.read) << c.path;
        if (!c.read) {
            EXPECT_EQ(bytes.error().code, ErrorCode::TooLarge) << c.path;
            EXPECT_EQ(loadConfig(c.path).error().code, ErrorCode::TooLarge) << c.path;
            EXPECT_EQ(web::loadAccountsFile(c.path).error().code, ErrorCode::TooLarge) << c.path;
        }
    }
    ::close(ends[0]);
    writer.join();
    std::remove(atBound.c_str());
    std::remove(overBound.c_str());
}

}  // namespace
}  // namespace vellicor
