// A mall that takes an exchange request and then loses the connection without an answer may
// have carried the exchange out: the request must never reach it a second time, on whichever
// way it went. Only a request the mall cannot have taken (its connection died before its
// last byte) goes again. Each case runs three items of one worker each against a scripted
// mall, so that the mall can count what every worker sent by the item in its request line.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <openssl/ssl.h>

#include <condition_variable>
#include <csignal>
#include <future>
#include <map>
#include <mutex>
#include <regex>

#include "doubles.h"
#include "loopback_server.h"
#include "mall/exchange_run.h"
#include "platform/codec.h"
#include "run_command.h"

namespace vellicor {
namespace {

using mall::OutcomeKind;
using std::chrono::milliseconds;

constexpr const char* kCookies = "uin=o10001; skey=never-twice";
constexpr auto kBound = std::chrono::seconds(30);  // what a loopback step may take at worst
const std::string kTls = VELLICOR_TEST_TLS_DIR;

enum class Fault {
    ResetAfter,   // takes the whole request, then resets the connection
    CloseAfter,   // takes the whole request, then closes the connection
    ResetMidway,  // reads the request line only, then resets (the rest was on its way)
    ResetShort,   // resets a connection whose request stops short of its last byte
    Silent,       // takes the whole request and never answers
};

// The mall's answers, as it sends them: GBK.
std::string reply(const std::string& text) {
    const std::string body = utf8ToGbk(text).value();
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=gbk\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kNotOpen = reply("<p>很抱歉，点开始兑换，请稍后再来</p>");
const std::string kWon = reply(R"(<div class="popaitem c">恭喜您兑换成功<a>关闭窗口</a></div>)");

// Keeps each connection open across requests. With `askAgain` the first request of every
// item is answered "not open yet", so that the worker's next request goes on a connection
// kept from an earlier one; the fault meets the requests after it.
class ScriptedMall {
  public:
    ScriptedMall(Fault fault, bool askAgain, bool tls)
        : fault_(fault),
          askAgain_(askAgain),
          server_(tls ? kTls + "/server.pem" : "", tls ? kTls + "/server.key" : "") {
        server_.start([this](int fd) { serve(fd); });
    }
    ~ScriptedMall() { server_.stop(); }

    std::string base() const { return server_.url(""); }
    // Requests begun, by item (propsid), whole or not.
    std::map<std::string, int> begun() const {
        std::lock_guard lock(mutex_);
        return begun_;
    }
    // Wait until `n` requests were begun or met the fault; false when that did not happen
    // in time.
    bool waitForBegun(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return total_ >= n; });
    }
    bool waitForFaults(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return faults_ >= n; });
    }

  private:
    void serve(int fd) {
        // A client that leaves while the script writes must not end the test binary.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        SSL* ssl = nullptr;
        if (!server_.handshake(fd, ssl)) {
            return;
        }
        const bool orderly = answer(fd, ssl);
        if (ssl != nullptr) {
            if (orderly) {
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
        }
    }

    // False when the connection ends with a reset.
    bool answer(int fd, SSL* ssl) {
        std::string data;
        for (;;) {
            const auto lineEnd = readUntil(fd, ssl, data, "\r\n");
            if (lineEnd == std::string::npos) {
                return true;
            }
            const std::string item = propsid(data.substr(0, lineEnd));
            const bool first = count(item) == 1;
            if (askAgain_ && first) {
                data.erase(0, readUntil(fd, ssl, data, "\r\n\r\n") + 4);
                test::sendAll(fd, ssl, kNotOpen);
                continue;
            }
            if (fault_ == Fault::ResetMidway) {
                return reset(fd);
            }
            const auto headEnd = readUntil(fd, ssl, data, "\r\n\r\n");
            if (headEnd == std::string::npos) {
                return fault_ == Fault::ResetShort && data.ends_with("\r\n\r") ? reset(fd) : true;
            }
            data.erase(0, headEnd + 4);
            switch (fault_) {
                case Fault::ResetAfter:
                    return reset(fd);
                case Fault::CloseAfter:
                    noteFault();
                    return true;
                case Fault::Silent:
                    noteFault();
                    readUntil(fd, ssl, data, "never");  // until the client or the test leaves
                    return true;
                case Fault::ResetMidway:
                case Fault::ResetShort:
                    test::sendAll(fd, ssl, kWon);
                    break;
            }
        }
    }

    // Reads until `mark` is in `data`; its position, or npos when the peer left first. A
    // request short of its last byte is all a connection brings before the instant: the
    // mall sees it end there.
    std::size_t readUntil(int fd, SSL* ssl, std::string& data, std::string_view mark) {
        for (;;) {
            if (const auto at = data.find(mark); at != std::string::npos) {
                return at;
            }
            if (fault_ == Fault::ResetShort && data.ends_with("\r\n\r")) {
                return std::string::npos;
            }
            char block[4096];
            const long n = test::readSome(fd, ssl, block, sizeof block);
            if (n <= 0) {
                return std::string::npos;
            }
            data.append(block, static_cast<std::size_t>(n));
        }
    }

    int count(const std::string& item) {
        std::lock_guard lock(mutex_);
        ++total_;
        changed_.notify_all();
        return ++begun_[item];
    }
    void noteFault() {
        std::lock_guard lock(mutex_);
        ++faults_;
        changed_.notify_all();
    }
    // Resets at once, not when the listener closes the socket after the script: a case
    // that waits for the fault finds the connection reset.
    bool reset(int fd) {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        sockaddr none{};
        none.sa_family = AF_UNSPEC;
        ::connect(fd, &none, sizeof none);
        noteFault();
        return false;
    }
    static std::string propsid(const std::string& line) {
        std::smatch m;
        return std::regex_search(line, m, std::regex("propsid=(\\d+)")) ? m[1].str() : line;
    }

    const Fault fault_;
    const bool askAgain_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, int> begun_;
    int total_ = 0;
    int faults_ = 0;
    test::LoopbackServer server_;  // last: it stops before what its connections use goes
};

struct Way {
    const char* name;
    bool tls = false;
    bool own = true;        // connections of the run's own; else libcurl's transfers
    bool timed = false;     // opened ahead for a timed run; else a run of now
    bool lastByte = false;  // the heads written ahead, the last bytes at the instant
    bool askAgain = false;  // the fault meets the worker's second request, on a kept connection
};

const std::vector<Way> kWays = {
    {"own connections, timed", false, true, true},
    {"own connections, timed, TLS", true, true, true},
    {"own connections, timed, last byte", false, true, true, true},
    {"own connections, now", false, true, false},
    {"own connections, asked again on a kept one", false, true, false, false, true},
    {"libcurl, now", false, false},
    {"libcurl, asked again on a kept-alive connection", false, false, false, false, true},
    {"libcurl, asked again on a kept-alive connection, TLS", true, false, false, false, true},
};

struct FaultCase {
    const char* name;
    Fault fault;
};

const std::vector<FaultCase> kFaults = {
    {"reset after taking the request", Fault::ResetAfter},
    {"closed after taking the request", Fault::CloseAfter},
    {"reset before reading the request whole", Fault::ResetMidway},
    {"reset before the request's last byte", Fault::ResetShort},
    {"no answer: time-out", Fault::Silent},
};

// Only a request written ahead can stop short of its last byte.
bool applies(const Way& way, Fault fault) {
    return fault != Fault::ResetShort || way.lastByte;
}

// The mall resets the connection on a head written ahead: that request never reached it
// whole and goes again at the instant, on a fresh connection.
bool cutsHeads(const Way& way, Fault fault) {
    return way.lastByte && (fault == Fault::ResetShort || fault == Fault::ResetMidway);
}

std::vector<const mall::Item*> threeItems() {
    static const auto all = mall::items();
    std::vector<const mall::Item*> picked;
    for (const auto& item : all) {
        if (item.enabled && picked.size() < 3) {
            picked.push_back(&item);
        }
    }
    return picked;
}

Config configFor(const Way& way, Fault fault, const std::string& base) {
    Config config = Config::defaults().withPortal(base);
    config.http.version = HttpVersion::Http1_1;
    config.http.caFile = kTls + "/ca.pem";
    config.http.totalTimeoutMs = fault == Fault::Silent ? 1000 : 60000;
    config.timer.preopenLeadMs = way.own ? 3000 : 0;  // none: libcurl's transfers
    config.timer.lastByteSync = way.lastByte;
    config.exchange.retryPauseMs = 0;
    config.exchange.retryWindowMs = 600000;
    return config;
}

struct Ran {
    mall::RunSummary summary;
    std::vector<std::string> lines;
};

// The run's clock stands still but where the case moves it: to the instant once the
// connections are ready (and the heads the mall cut short are gone with theirs), past the
// time-out once the mall holds every request.
Ran runCase(const Way& way, Fault fault, ScriptedMall& mall, test::LogCapture& log) {
    MockClock clock(std::chrono::system_clock::now());
    const Config config = configFor(way, fault, mall.base());
    mall::RunOptions options;
    if (way.timed) {
        options.fireAt = clock.steadyNow() + std::chrono::seconds(1);
    }
    std::promise<mall::RunSummary> done;
    auto run = mall::ExchangeRun::start(
        {threeItems(), 1, web::oneAccount(kCookies)}, config, clock, log.sink(),
        [&done](const mall::RunSummary& s) { done.set_value(s); }, options);
    if (way.timed) {
        EXPECT_TRUE(log.waitFor("HTTP/1.1，已预先建立 3 个连接", kBound)) << log.text();
        if (way.lastByte) {
            EXPECT_TRUE(mall.waitForBegun(3)) << "the three heads reached the mall";
        }
        if (cutsHeads(way, fault)) {
            EXPECT_TRUE(mall.waitForFaults(3)) << "the mall reset the three heads";
        }
        clock.advance(*options.fireAt - clock.steadyNow());
    }
    if (fault == Fault::Silent) {
        EXPECT_TRUE(mall.waitForFaults(3)) << "the mall holds the three requests";
        clock.advance(milliseconds(config.http.totalTimeoutMs + 1));
    }
    auto ended = done.get_future();
    if (ended.wait_for(kBound) != std::future_status::ready) {
        ADD_FAILURE() << "the run did not end: " << log.text();
        run->cancel();
    }
    run->wait();
    return {run->summary(), log.lines()};
}

// Outcome lines by item caption.
std::map<std::string, int> outcomeLines(const std::vector<std::string>& lines) {
    std::map<std::string, int> perItem;
    const std::regex outcome(R"(\[([^\]]+)\] #1( 第\d+次)?  :)");
    for (const auto& line : lines) {
        std::smatch m;
        if (std::regex_search(line, m, outcome)) {
            ++perItem[m[1].str()];
        }
    }
    return perItem;
}

TEST(NeverTwice, ARequestTheMallMayHaveTakenNeverGoesAgain) {
    for (const auto& way : kWays) {
        for (const auto& [faultName, fault] : kFaults) {
            if (!applies(way, fault)) {
                continue;
            }
            SCOPED_TRACE(std::string(way.name) + " / " + faultName);
            ScriptedMall mall(fault, way.askAgain, way.tls);
            test::LogCapture log;
            const Ran ran = runCase(way, fault, mall, log);

            const bool own = log.text().find("HTTP/1.1，") != std::string::npos;
            EXPECT_EQ(own, way.own) << "the run went another way: " << log.text();
            const bool cut = cutsHeads(way, fault);
            const int asked = way.askAgain ? 2 : 1;  // requests the mall took from each worker
            const auto begun = mall.begun();
            EXPECT_EQ(begun.size(), 3u);
            for (const auto& [item, n] : begun) {
                // A head cut before its last byte is the one request that went again.
                EXPECT_EQ(n, asked + (cut ? 1 : 0)) << "item " << item;
            }
            const auto perItem = outcomeLines(ran.lines);
            EXPECT_EQ(perItem.size(), 3u) << log.text();
            for (const auto& [caption, n] : perItem) {
                EXPECT_EQ(n, 1) << caption;
            }
            const OutcomeKind kind =
                fault == Fault::ResetShort ? OutcomeKind::Popup : OutcomeKind::Unknown;
            ASSERT_EQ(ran.summary.items.size(), 3u);
            for (const auto& tally : ran.summary.items) {
                EXPECT_EQ(tally.count(kind), 1) << tally.item->caption << "\n" << log.text();
            }
            EXPECT_EQ(ran.summary.sends, 3 * asked);
            EXPECT_EQ(ran.summary.unsent, cut ? 3 : 0);
            ASSERT_FALSE(ran.lines.empty());
            const std::string& last = ran.lines.back();
            EXPECT_EQ(
                last.rfind("兑换结束：共 3 个请求（发送 " + std::to_string(3 * asked) + " 次", 0),
                0u)
                << last;
            EXPECT_EQ(last.find("次未送达商城") != std::string::npos, cut) << last;
        }
    }
}

// The headless front end says no answer came: its exit status is 3, and each worker's line
// says its request left and its result is unknown.
TEST(NeverTwice, TheHeadlessFrontEndExitsWithNoAnswer) {
    ScriptedMall mall(Fault::ResetAfter, false, false);
    const auto run =
        test::runCommand(std::string(VELLICOR_CLI) + " exchange --portal " + mall.base() +
                         " --cookie '" + kCookies + "' --items 选择框1 --threads 3 2>&1");
    EXPECT_EQ(run.exitCode, 3) << run.out;
    std::size_t unknown = 0;
    for (auto at = run.out.find("已发出，结果未知"); at != std::string::npos;
         at = run.out.find("已发出，结果未知", at + 1)) {
        ++unknown;
    }
    EXPECT_EQ(unknown, 3u) << run.out;
    const auto begun = mall.begun();
    ASSERT_EQ(begun.size(), 1u);
    EXPECT_EQ(begun.begin()->second, 3) << run.out;
}

}  // namespace
}  // namespace vellicor
