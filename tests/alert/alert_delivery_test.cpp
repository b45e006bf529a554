// Alerts that arrive although the first attempts fail and one hangs, and arrive once: a web
// hook on a scripted local receiver, and mail through a real local SMTP server (Debian's
// python3-aiosmtpd) behind a proxy that spoils the first connections. The alerter runs on a
// clock that skips its pauses; the test moves it past a hung attempt's time-out.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "alert/alerter.h"
#include "alert/mail.h"
#include "front_process.h"
#include "loopback_server.h"
#include "mime_util.h"
#include "raw_server.h"
#include "skipping_clock.h"
#include "temp_folder.h"
#include "wait_until.h"

namespace vellicor::alert {
namespace {

using namespace std::chrono_literals;

// The alerter's log: its channels' threads write to it.
struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;
    LogSink sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
};

Tuning underFaults() {
    Tuning t;
    t.timeout = 10s;
    t.attempts = 6;
    t.firstPause = 1s;
    t.maxPause = 4s;
    return t;
}

// Moves the clock past the time-out of the attempt under way once `hung` holds: the third
// connection, which is never answered.
bool cutHungAttempt(test::SkippingClock& clock, const std::function<bool()>& hung) {
    if (!test::waitUntil(hung)) {
        return false;
    }
    clock.advance(underFaults().timeout);
    return true;
}

std::string headerOf(const std::string& request, const std::string& name) {
    return test::header(request.substr(request.find("\r\n") + 2), name);
}

// The receiver takes an alert when it answers 200; the first three connections fail as the
// issue has it: a 500, a reset after the request came, and one that never answers.
class FaultyReceiver {
  public:
    FaultyReceiver()
        : server_([this](test::Connection& c, const std::string& request) { serve(c, request); }) {}

    std::string url() const { return server_.url("/hook/x?token=T"); }
    int connections() const { return connections_; }
    std::vector<std::string> requests() const { return server_.requests(); }
    bool waitForTaken(int count) {
        std::unique_lock lock(mutex_);
        return taken_cv_.wait_for(lock, test::kWaitBound, [&] { return taken_ >= count; });
    }
    int taken() {
        std::lock_guard lock(mutex_);
        return taken_;
    }

  private:
    void serve(test::Connection& c, const std::string&) {
        switch (++connections_) {
            case 1:
                c.send(test::httpReply("500 Internal Server Error", "", "busy"));
                return;
            case 2:
                c.reset();
                return;
            case 3:
                server_.waitForStop();  // holds the request unanswered until the test ends
                return;
            default:
                break;
        }
        c.send(test::httpReply("200 OK", "", "ok"));
        std::lock_guard lock(mutex_);
        ++taken_;
        taken_cv_.notify_all();
    }

    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::condition_variable taken_cv_;
    int taken_ = 0;
    test::RawServer server_;  // last: its connections' threads use the rest
};

TEST(AlertDelivery, HookArrivesOnceUnderFaults) {
    FaultyReceiver receiver;
    AlertSettings s;
    s.webhookUrl = receiver.url();
    s.webhookBody = R"({"text":"{item} {outcome}"})";
    LogLines log;
    test::SkippingClock clock;
    Alerter alerter(configuredChannels(s, HttpSettings{}), underFaults(), log.sink(), clock);
    const Alert alert = makeAlert(AlertKind::Win, "改名卡", "小号", "恭喜");
    alerter.post(alert);
    ASSERT_TRUE(cutHungAttempt(clock, [&] { return receiver.connections() >= 3; }))
        << "the third attempt";
    ASSERT_TRUE(receiver.waitForTaken(1)) << "the alert after the hung attempt";
    alerter.close(5s);  // nothing left to send: returns at once
    EXPECT_EQ(receiver.taken(), 1);
    const auto requests = receiver.requests();
    ASSERT_EQ(requests.size(), 4U);  // the three faults and the one taken
    for (const std::string& request : requests) {
        EXPECT_EQ(headerOf(request, "X-Alert-Id"), alert.id);
        EXPECT_EQ(headerOf(request, "Idempotency-Key"), alert.id);
        EXPECT_NE(request.find(R"({"text":"改名卡 恭喜"})"), std::string::npos) << request;
    }
    EXPECT_TRUE(log.lines.empty()) << log.lines.front();
}

// aiosmtpd offering AUTH without TLS (and no STARTTLS), noting each AUTH it is sent: what a
// client would send any server in the clear. Arguments: port, note file, maildir.
constexpr const char* kAuthInTheClear = R"(
import signal, sys
from aiosmtpd.controller import Controller
from aiosmtpd.handlers import Mailbox
from aiosmtpd.smtp import AuthResult
def note(server, session, envelope, mechanism, data):
    with open(sys.argv[2], 'a') as notes:
        notes.write('AUTH ' + mechanism + '\n')
    return AuthResult(success=True)
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
server = Controller(Mailbox(sys.argv[3]), hostname='127.0.0.1', port=int(sys.argv[1]),
                    authenticator=note, auth_require_tls=False)
server.start()
signal.sigwait([signal.SIGTERM])
server.stop()
)";

// aiosmtpd on a free port, keeping each mail it takes as a file in a maildir.
class SmtpServer {
  public:
    Status start(bool authInTheClear = false) {
        if (folder_.path().empty()) {
            return makeError(ErrorCode::Io, "no temporary folder");
        }
        maildir_ = folder_.path() + "/mail";
        return test::startOnFreePort(
            [this, authInTheClear](std::uint16_t port) {
                test::Launch launch;
                launch.what = "aiosmtpd";
                launch.argv = {"/usr/bin/python3",
                               "-m",
                               "aiosmtpd",
                               "-n",
                               "-l",
                               "127.0.0.1:" + std::to_string(port),
                               "-c",
                               "aiosmtpd.handlers.Mailbox",
                               maildir_};
                if (authInTheClear) {
                    launch.argv = {"/usr/bin/python3",
                                   "-c",
                                   kAuthInTheClear,
                                   std::to_string(port),
                                   folder_.path() + "/auth.log",
                                   maildir_};
                }
                launch.outputFile = folder_.path() + "/output.log";
                launch.stopSignal = SIGTERM;
                return process_.start(launch, port, [this] { return output(); });
            },
            port_);
    }
    std::uint16_t port() const { return port_; }
    std::vector<std::string> mails() const {
        std::vector<std::string> out;
        std::error_code missing;  // until the first mail comes
        for (const auto& entry : std::filesystem::directory_iterator(maildir_ + "/new", missing)) {
            std::ifstream file(entry.path(), std::ios::binary);
            out.emplace_back(std::istreambuf_iterator<char>(file),
                             std::istreambuf_iterator<char>());
        }
        return out;
    }
    std::string output() const { return read("/output.log"); }
    std::string auths() const { return read("/auth.log"); }

  private:
    std::string read(const std::string& name) const {
        std::ifstream file(folder_.path() + name);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    test::TempFolder folder_{"vellicor-smtp"};
    std::string maildir_;
    std::uint16_t port_ = 0;
    test::FrontProcess process_;
};

// Carries connections to the SMTP server, but spoils the first three: closed at once, reset,
// and held without a greeting until the client gives up.
class FaultProxy {
  public:
    explicit FaultProxy(std::uint16_t target) : target_(target), server_("", "") {
        server_.start([this](int fd) { serve(fd); });
    }
    ~FaultProxy() { server_.stop(); }
    std::uint16_t port() const { return server_.port(); }
    int connections() const { return connections_; }

  private:
    void serve(int fd) {
        switch (++connections_) {
            case 1:
                return;
            case 2: {
                linger hard{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                return;
            }
            case 3: {
                char block[256];
                while (test::readSome(fd, nullptr, block, sizeof block) > 0) {
                }
                return;
            }
            default:
                relay(fd);
        }
    }

    void relay(int fd) const {
        const int up = test::connectLoopback(target_);
        if (up < 0) {
            return;
        }
        pollfd both[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
        char block[4096];
        for (;;) {
            if (::poll(both, 2, -1) <= 0) {
                break;
            }
            const int from = (both[0].revents != 0) ? 0 : 1;
            const long n = ::read(both[from].fd, block, sizeof block);
            if (n <= 0 || !test::sendAll(both[1 - from].fd, nullptr,
                                         std::string_view(block, static_cast<std::size_t>(n)))) {
                break;
            }
        }
        ::close(up);
    }

    std::uint16_t target_;
    std::atomic<int> connections_{0};
    test::LoopbackServer server_;
};

TEST(AlertDelivery, MailArrivesOnceUnderFaults) {
    SmtpServer smtp;
    const Status started = smtp.start();
    ASSERT_TRUE(started.ok()) << started.error().message << " (run tools/install-deps.sh)";
    FaultProxy proxy(smtp.port());
    AlertSettings s;
    s.smtpUrl = "smtp://127.0.0.1:" + std::to_string(proxy.port());
    s.mailFrom = "vellicor@example.com";
    s.mailTo = "me@example.com";
    LogLines log;
    test::SkippingClock clock;
    Alerter alerter(configuredChannels(s, HttpSettings{}), underFaults(), log.sink(), clock);
    const Alert alert = makeAlert(AlertKind::Win, "战地FAMAS（3天）", "小号", "恭喜您获得");
    alerter.post(alert);
    ASSERT_TRUE(cutHungAttempt(clock, [&] { return proxy.connections() >= 3; }))
        << "the third attempt";
    // The maildir gives no signal of its own.
    ASSERT_TRUE(test::waitUntil([&] { return !smtp.mails().empty(); }))
        << "the mail after the hung attempt: " << smtp.output();
    alerter.close(5s);
    const auto mails = smtp.mails();
    ASSERT_EQ(mails.size(), 1U);
    EXPECT_EQ(proxy.connections(), 4);
    const std::string mail = mails.front();
    EXPECT_NE(mail.find("Message-ID: <" + alert.id + "@example.com>"), std::string::npos) << mail;
    std::string subject;
    std::istringstream lines(mail);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.starts_with("Subject: ")) {
            subject = line.substr(9);
        } else if (!subject.empty() && line.starts_with(" ")) {
            subject += line;
        } else if (!subject.empty()) {
            break;
        }
    }
    EXPECT_EQ(test::decodeSubject(subject), headline(alert));
    EXPECT_TRUE(log.lines.empty()) << log.lines.front();
}

// A password goes to a server that is not this computer after TLS only, wherever it was
// written: to a server that offers AUTH but no STARTTLS, no AUTH goes out, and no mail.
TEST(AlertDelivery, NoPasswordWithoutTls) {
    SmtpServer smtp;
    const Status started = smtp.start(true);
    ASSERT_TRUE(started.ok()) << started.error().message << " (run tools/install-deps.sh)";
    struct Case {
        std::string what;
        std::string userInfo;
        std::string user;
        std::string password;
        bool sent;
    };
    const Case cases[] = {
        {"password in smtp_url", "alice%40example.com:URLPASS@", "", "", false},
        {"smtp_user and smtp_password", "", "alice", "MAILPASS", false},
        {"no password", "", "", "", true},
    };
    std::size_t sent = 0;
    for (const Case& c : cases) {
        AlertSettings s;
        s.smtpUrl = "smtp://" + c.userInfo + "127.0.0.1:" + std::to_string(smtp.port());
        s.smtpUser = c.user;
        s.smtpPassword = c.password;
        s.mailFrom = "vellicor@example.com";
        s.mailTo = "me@example.com";
        std::vector<std::unique_ptr<Channel>> channels;
        // The server stands for one elsewhere: this computer only in name.
        channels.push_back(std::make_unique<Mail>(
            s, HttpSettings{}, +[](std::string_view) { return false; }));
        Alerter alerter(std::move(channels), Tuning{}, {});
        std::promise<Status> result;
        alerter.test(makeAlert(AlertKind::Test, "测试提醒", {}, "x"),
                     [&](const ChannelResult& r) { result.set_value(r.status); });
        auto done = result.get_future();
        ASSERT_EQ(done.wait_for(test::kWaitBound), std::future_status::ready) << c.what;
        EXPECT_EQ(done.get().ok(), c.sent) << c.what;
        sent += c.sent ? 1 : 0;
        EXPECT_EQ(smtp.auths(), "") << c.what;
        ASSERT_TRUE(test::waitUntil([&] { return smtp.mails().size() == sent; })) << c.what;
    }
}

// Takes each request and never answers it.
class HangingReceiver {
  public:
    HangingReceiver()
        : server_([this](test::Connection&, const std::string&) {
              {
                  std::lock_guard lock(mutex_);
                  ++reached_;
              }
              reachedCv_.notify_all();
              server_.waitForStop();
          }) {}
    std::string url() const { return server_.url("/hook"); }
    bool waitForRequest() {
        std::unique_lock lock(mutex_);
        return reachedCv_.wait_for(lock, test::kWaitBound, [&] { return reached_ > 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable reachedCv_;
    int reached_ = 0;
    test::RawServer server_;
};

// Closing does not wait out an attempt that hangs: the flush cuts it, and the line says so.
TEST(AlertDelivery, CloseCutsAHungAttempt) {
    HangingReceiver receiver;
    AlertSettings s;
    s.webhookUrl = receiver.url();
    Tuning t;
    t.timeout = 60s;
    t.attempts = 1;
    LogLines log;
    test::SkippingClock clock;
    Alerter alerter(configuredChannels(s, HttpSettings{}), t, log.sink(), clock);
    alerter.post(makeAlert(AlertKind::Win, "改名卡", {}, "恭喜"));
    ASSERT_TRUE(receiver.waitForRequest()) << "the hook's request";
    auto closed = std::async(std::launch::async, [&] { alerter.close(200ms); });
    // The clock moves on in small steps until close returns: a cut at the flush comes long
    // before the attempt's own time-out would.
    ASSERT_TRUE(test::waitUntil([&] {
        clock.advance(50ms);
        return closed.wait_for(0s) == std::future_status::ready;
    })) << "close returned";
    ASSERT_EQ(log.lines.size(), 1U);
    EXPECT_NE(log.lines.front().find("提醒未能发出（Web 钩子，试了 1 次）：程序关闭"),
              std::string::npos)
        << log.lines.front();
}

}  // namespace
}  // namespace vellicor::alert
