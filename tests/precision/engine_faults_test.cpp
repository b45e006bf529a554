// Faults of timed runs found by reading the engine, against peers whose faults take real time:
// connections the mall drops while they wait with a head written ahead, answers nobody asked
// for, slow handshakes, requests left incomplete.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <optional>
#include <thread>

#include "loopback_server.h"
#include "mall/preopen.h"
#include "platform/codec.h"
#include "timed_fixture.h"
#include "web/transfer.h"

namespace vellicor::mall {
namespace {

using namespace timed;

class EngineFaults : public TimedRun {};

// With last-byte synchronisation the head of each request is on the wire ahead; connections
// the mall drops before the instant take their heads with them, and every request still
// reaches the mall whole.
TEST_F(EngineFaults, HeadWrittenAheadGoesWithItsConnection) {
    startPortal(R"("idleTimeoutMs": 150)");
    config_.timer.lastByteSync = true;
    Clock::WallTime instant;
    const RunSummary summary = runTimed({"选择框1"}, 10, instant);
    EXPECT_EQ(summary.lines, 10);
    EXPECT_EQ(lines_.count("恭喜您"), 10) << lines_.text();
}

// A loopback mall of a test's own: every connection served on a thread of its own, with its
// number in the order accepted. A server starts listening last in its constructor and stops
// first in its destructor, so that no connection is served by a half-made object.
class LoopbackMall {
  public:
    LoopbackMall() = default;
    LoopbackMall(const LoopbackMall&) = delete;
    LoopbackMall& operator=(const LoopbackMall&) = delete;
    virtual ~LoopbackMall() = default;
    std::string base(const char* scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

  protected:
    virtual void serve(int fd, int number) = 0;
    void startListening() {
        listen_ = test::listenLoopback(port_);
        acceptor_ = std::thread([this] {
            for (int n = 0;; ++n) {
                const int fd = ::accept(listen_, nullptr, nullptr);
                if (fd < 0) {
                    return;
                }
                served_.emplace_back([this, fd, n] { serve(fd, n); });
            }
        });
    }
    void stopListening() {
        stopping_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        acceptor_.join();
        for (auto& t : served_) {
            t.join();
        }
    }
    std::atomic<bool> stopping_{false};

  private:
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> served_;
};

// A mall that, like many front ends, answers a connection left idle with a 408 and closes
// it; a request that comes in time gets its answer.
class IdleAnswering final : public LoopbackMall {
  public:
    IdleAnswering() { startListening(); }
    ~IdleAnswering() override { stopListening(); }
    int answered() const { return answered_.load(); }

  private:
    void serve(int fd, int) override {
        pollfd p{fd, POLLIN, 0};
        std::string reply = "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\n\r\n";
        if (::poll(&p, 1, 150) > 0) {
            char buf[4096];
            if (::recv(fd, buf, sizeof buf, 0) > 0) {
                const std::string page = utf8ToGbk("<p>很抱歉，该商品今日已被兑换完</p>").value();
                reply = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(page.size()) + "\r\n\r\n" + page;
                ++answered_;
            }
        }
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        char drain[256];
        while (::recv(fd, drain, sizeof drain, 0) > 0) {
        }
        ::close(fd);
    }
    std::atomic<int> answered_{0};
};

// Bytes found on a connection that carries nothing of ours are no answer to the request
// that would go on it next: the request takes a fresh connection and gets the mall's word.
TEST(EngineIdleBytes, AnAnswerNobodyAskedForIsNeverTakenForTheReply) {
    IdleAnswering mall;
    Config config = Config::defaults().withPortal(mall.base());
    config.timer.preopenLeadMs = 900;
    test::LogCapture lines;
    const Clock& clock = SystemClock::instance();
    ExchangeController controller(config, clock, lines.sink());
    RunOptions options;
    options.fireAt = clock.steadyNow() + milliseconds(1000);
    ASSERT_TRUE(controller.start({"选择框1"}, "5", vellicor::web::oneAccount(kCookies), options));
    controller.wait();
    EXPECT_EQ(lines.count("该商品今日已被兑换完"), 5) << lines.text();
    EXPECT_EQ(lines.count("408"), 0) << lines.text();
    EXPECT_EQ(mall.answered(), 5);
}

// Warm-up requests count as connections opened ahead only where the mall keeps the
// connection: an answer that closes it leaves nothing in the pool.
TEST(Warmups, OnlyConnectionsTheMallKeepsCountAsOpened) {
    IdleAnswering closing;
    portal::ServerOptions keeping;
    keeping.scenarioJson = "{}";
    auto simulator = portal::Server::start(keeping);
    ASSERT_TRUE(simulator.ok());
    struct Row {
        std::string base;
        int opened;
    };
    const Row rows[] = {{closing.base(), 0}, {(*simulator)->baseUrl(), 3}};
    web::ensureCurlReady();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.base);
        CURLM* multi = curl_multi_init();
        PreopenRequest request;
        request.base = row.base;
        request.connections = 3;
        request.deadline = SystemClock::instance().steadyNow() + std::chrono::seconds(3);
        const PreopenReport report = preopenConnections(multi, request, SystemClock::instance());
        EXPECT_EQ(report.opened, row.opened);
        EXPECT_EQ(report.failed, 3 - row.opened);
        curl_multi_cleanup(multi);
    }
}

// A mall whose TLS handshakes come slowly on every other connection: those wait a good
// while before the handshake starts. It notes when its first request came and when the first
// slow handshake ended.
class SlowHandshakes final : public LoopbackMall {
  public:
    SlowHandshakes() {
        // OpenSSL writes with write(): a client that left must not end the test process.
        std::signal(SIGPIPE, SIG_IGN);
        tls_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(tls_, (kTls + "/server.pem").c_str());
        SSL_CTX_use_PrivateKey_file(tls_, (kTls + "/server.key").c_str(), SSL_FILETYPE_PEM);
        startListening();
    }
    ~SlowHandshakes() override {
        stopListening();
        SSL_CTX_free(tls_);
    }
    // Whether a request was answered before any slow handshake had ended.
    bool answeredBeforeTheSlowOnes() const {
        std::lock_guard lock(mutex_);
        return firstRequest_ && (!firstSlow_ || *firstRequest_ < *firstSlow_);
    }

  private:
    void note(std::optional<Clock::Steady>& when) {
        std::lock_guard lock(mutex_);
        if (!when) {
            when = SystemClock::instance().steadyNow();
        }
    }
    void serve(int fd, int number) override {
        const bool slow = number % 2 == 1;
        if (slow) {
            // The peer is slow, not the test: nothing here waits for an event of the test.
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        }
        SSL* ssl = SSL_new(tls_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            if (slow) {
                note(firstSlow_);
            }
            char buf[4096];
            if (SSL_read(ssl, buf, sizeof buf) > 0) {
                note(firstRequest_);
                const std::string page = utf8ToGbk("<p>很抱歉，该商品今日已被兑换完</p>").value();
                const std::string reply =
                    "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                    std::to_string(page.size()) + "\r\n\r\n" + page;
                SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
            }
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ::close(fd);
    }
    SSL_CTX* tls_ = nullptr;
    mutable std::mutex mutex_;
    std::optional<Clock::Steady> firstRequest_;
    std::optional<Clock::Steady> firstSlow_;
};

// A run of now does not wait for the slowest of its handshakes: the requests go out on the
// connections that are open, and those whose connection is late take fresh ones.
TEST(EngineLateConnections, ARunOfNowSendsOnTheConnectionsThatAreOpen) {
    SlowHandshakes mall;
    Config config = Config::defaults().withPortal(mall.base("https"));
    config.http.caFile = kTls + "/ca.pem";
    config.http.connectTimeoutMs = 3000;
    test::LogCapture lines;
    ExchangeController controller(config, SystemClock::instance(), lines.sink());
    ASSERT_TRUE(controller.start({"选择框1"}, "6", vellicor::web::oneAccount(kCookies)));
    controller.wait();
    EXPECT_EQ(lines.count("该商品今日已被兑换完"), 6) << lines.text();
    EXPECT_TRUE(mall.answeredBeforeTheSlowOnes()) << lines.text();
}

// A keep-alive mall for the last-byte case: every other connection answers a request left
// incomplete for a while with a 408 and closes; the first four requests are told "not open
// yet", the rest win; the answers on connections opened after the first four come a little
// later, so that their workers ask again only once the others' connections are free.
class HalfClosing final : public LoopbackMall {
  public:
    HalfClosing() { startListening(); }
    ~HalfClosing() override { stopListening(); }

  private:
    std::string answer() {
        const bool early = ++requests_ <= 4;
        const std::string page =
            utf8ToGbk(early ? "<p>很抱歉，改名将于12:00:00点开始兑换，请稍后再来</p>"
                            : "<div class=\"popaitem cgreen\">恭喜您，成功兑换改名<a "
                              "href=\"#\">关闭窗口</a></div>")
                .value();
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" +
               page;
    }
    void serve(int fd, int n) override {
        std::string pending;
        while (!stopping_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) == 0) {
                if (!pending.empty() && n % 2 == 1) {
                    const std::string late =
                        "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\n\r\n";
                    ::send(fd, late.data(), late.size(), MSG_NOSIGNAL);
                    break;
                }
                continue;
            }
            char buf[4096];
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got <= 0) {
                break;
            }
            pending.append(buf, static_cast<std::size_t>(got));
            for (auto end = pending.find("\r\n\r\n"); end != std::string::npos;
                 end = pending.find("\r\n\r\n")) {
                pending.erase(0, end + 4);
                if (n >= 4) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(60));
                }
                const std::string reply = answer();
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
        ::close(fd);
    }
    std::atomic<int> requests_{0};
};

// The head of a request written ahead goes with its connection when the mall drops that: the
// worker asks again later on another connection of the run's with its whole request, not
// with the last byte that was kept back for the instant.
TEST(EngineTail, AHeadWrittenAheadNeverLeavesItsTailForTheNextConnection) {
    HalfClosing mall;
    Config config = Config::defaults().withPortal(mall.base());
    config.timer.preopenLeadMs = 900;
    config.timer.lastByteSync = true;
    config.http.totalTimeoutMs = 3000;
    test::LogCapture lines;
    const Clock& clock = SystemClock::instance();
    ExchangeController controller(config, clock, lines.sink());
    RunOptions options;
    options.fireAt = clock.steadyNow() + milliseconds(1000);
    ASSERT_TRUE(controller.start({"选择框1"}, "4", vellicor::web::oneAccount(kCookies), options));
    controller.wait();
    EXPECT_EQ(lines.count("恭喜您"), 4) << lines.text();
    EXPECT_EQ(lines.count("timed out"), 0) << lines.text();
}

}  // namespace
}  // namespace vellicor::mall
