// The simulator as a server: concurrency, its clock, its log, control endpoints, fault modes,
// TLS and the standalone program.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <latch>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "client.h"
#include "platform/codec.h"
#include "portal/scenario.h"
#include "portal/server.h"
#include "wait_until.h"
#include "web/page_request.h"

namespace vellicor::portal {
namespace {

using test::fetch;

const std::string kExchange =
    "/mall/index.php?op=exchangeing&gid=2&type=2&propsid=1399626483&way=1&g_tk=730418526";

std::unique_ptr<Server> startOrDie(const ServerOptions& o) {
    auto s = Server::start(o);
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message);
    return s.ok() ? std::move(s.value()) : nullptr;
}

TEST(PortalServer, ConcurrentExchangesNeverOversell) {
    struct Case {
        int stock;
        int price;
        int balance;
        int successes;
    };
    for (const Case c : {Case{17, 1, 1000, 17}, Case{100, 10, 55, 5}}) {
        ServerOptions o;
        o.threads = 4;
        o.scenarioJson = R"({"accounts": [{"uin": "10001", "password": "pw", "balances": {"CF": )" +
                         std::to_string(c.balance) + R"(}}], "items": {"1399626483": {"stock": )" +
                         std::to_string(c.stock) + R"(, "price": )" + std::to_string(c.price) +
                         "}}}";
        auto server = startOrDie(o);
        ASSERT_TRUE(server);
        const std::string cookie = server->sessionCookie().value();
        constexpr int kClients = 200;
        std::latch go(kClients);
        std::atomic<int> won{0};
        std::atomic<int> refused{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&] {
                go.arrive_and_wait();
                const auto reply = fetch(server->port(), kExchange, cookie);
                if (reply.text.find("popaitem c") != std::string::npos) {
                    ++won;
                } else if (reply.text.find("很抱歉，") != std::string::npos) {
                    ++refused;
                }
            });
        }
        for (auto& t : clients) {
            t.join();
        }
        EXPECT_EQ(won.load(), c.successes);
        EXPECT_EQ(refused.load(), kClients - c.successes);
        EXPECT_EQ(server->stock(1399626483), c.stock - c.successes);
        EXPECT_EQ(server->balances().at(2), c.balance - c.successes * c.price);
        EXPECT_EQ(server->log().size(), static_cast<std::size_t>(kClients));
    }
}

TEST(PortalServer, DateHeaderFollowsTheOffsetClock) {
    const Clock::WallTime start{std::chrono::seconds(1714528798)};  // 01:59:58 UTC
    struct Case {
        double wallMs;  // after start
        double offsetMs;
        std::string date;
    };
    const Case cases[] = {
        {0, 0, "Wed, 01 May 2024 01:59:58 GMT"},
        {999.4, 0.5, "Wed, 01 May 2024 01:59:58 GMT"},  // 999.9 ms: not yet
        {999.4, 0.7, "Wed, 01 May 2024 01:59:59 GMT"},  // 1000.1 ms: ticked
        {0, -1, "Wed, 01 May 2024 01:59:57 GMT"},
        {0, 1500.5, "Wed, 01 May 2024 01:59:59 GMT"},
        {0, 2000, "Wed, 01 May 2024 02:00:00 GMT"},
        {0, 86400000, "Thu, 02 May 2024 01:59:58 GMT"},
    };
    for (const auto& c : cases) {
        MockClock clock(start);
        clock.advance(std::chrono::microseconds(static_cast<long long>(c.wallMs * 1000)));
        ServerOptions o;
        o.clock = &clock;
        o.scenarioJson = R"({"clockOffsetMs": )" + std::to_string(c.offsetMs) + "}";
        auto server = startOrDie(o);
        ASSERT_TRUE(server);
        EXPECT_EQ(fetch(server->port(), "/").header("Date"), c.date)
            << c.wallMs << " " << c.offsetMs;
        EXPECT_EQ(fetch(server->port(), "/__sim/log").header("Date"), c.date);
    }
}

TEST(PortalServer, LogHoldsEveryRequestButTheControlOnes) {
    auto server = startOrDie({});
    ASSERT_TRUE(server);
    const auto before = std::chrono::system_clock::now();
    {
        test::Connection keptAlive(server->port());
        EXPECT_EQ(keptAlive.request("/mall/index.php", "a=1; b=2").status, 200);
        EXPECT_EQ(keptAlive.request("/forum.php").status, 200);
    }
    fetch(server->port(), "/cgi-bin/login_submit", {}, "POST", "u=1&p=2");
    fetch(server->port(), "/__sim/log");
    const auto after = std::chrono::system_clock::now();
    const auto log = server->log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].target, "/mall/index.php");
    EXPECT_EQ(log[0].cookies, "a=1; b=2");
    EXPECT_EQ(log[0].header("host"), "127.0.0.1:" + std::to_string(server->port()));
    EXPECT_EQ(log[1].target, "/forum.php");
    EXPECT_EQ(log[0].connection, log[1].connection);
    EXPECT_NE(log[1].connection, log[2].connection);
    EXPECT_EQ(log[2].method, "POST");
    EXPECT_EQ(log[2].body, "u=1&p=2");
    const auto micros = [](auto t) {
        return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    };
    for (const auto& r : log) {
        EXPECT_GE(r.arrivalMicros, micros(before));
        EXPECT_LE(r.arrivalMicros, micros(after));
        EXPECT_EQ(r.arrivalMicros, r.arrivalNanos / 1000);
    }
    EXPECT_LE(log[0].arrivalNanos, log[1].arrivalNanos);
    server->clearLog();
    EXPECT_TRUE(server->log().empty());
}

TEST(PortalServer, ControlEndpoints) {
    auto server = startOrDie({});
    ASSERT_TRUE(server);
    const auto port = server->port();
    auto set = fetch(port, "/__sim/scenario", {}, "POST", R"({"version": "9"})");
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(nlohmann::json::parse(set.body)["ok"], true);
    const auto bad = fetch(port, "/__sim/scenario", {}, "POST", R"({"versoin": "8"})");
    EXPECT_EQ(bad.status, 400);
    EXPECT_NE(bad.body.find("versoin"), std::string::npos);
    EXPECT_NE(fetch(port, "/thread-1-1-1.html").text.find("Version: 9 正式发布拉"),
              std::string::npos);

    const auto log = nlohmann::json::parse(fetch(port, "/__sim/log").body);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["target"], "/thread-1-1-1.html");
    EXPECT_EQ(log[0]["method"], "GET");
    EXPECT_GT(log[0]["arrivalMicros"].get<std::int64_t>(), 0);
    EXPECT_TRUE(log[0]["headers"].is_array());
    EXPECT_EQ(fetch(port, "/__sim/log/clear", {}, "POST", "x").status, 200);
    EXPECT_TRUE(nlohmann::json::parse(fetch(port, "/__sim/log").body).empty());

    const auto state = nlohmann::json::parse(fetch(port, "/__sim/state").body);
    EXPECT_EQ(state["stock"]["1397711761"], 1000);
    EXPECT_EQ(state["balances"]["10001"]["2"], 500);
    EXPECT_EQ(fetch(port, "/__sim/nothing").status, 404);
}

TEST(PortalScenario, RejectsWhatItCannotUse) {
    const char* bad[] = {
        R"({"bogus": 1})",
        R"({"items": {"1397711761": {"opensAt": "25:00:00"}}})",
        R"({"items": {"1397711761": {"opensAt": "10:00:00", "opensAfterMs": 5}}})",
        R"({"items": {"1111111111": {}}})",
        R"({"items": {"nz-famas-9d": {}}})",
        R"({"items": {"1397711761": {"stock": -1}}})",
        R"({"accounts": [{"uin": "x1", "password": "p"}]})",
        R"({"accounts": [{"uin": "1", "password": "p", "balances": {"Tetris": 3}}]})",
        R"({"faults": {"/x": {"mode": "explode"}}})",
        R"({"faults": {"x": {"mode": "hang"}}})",
        R"({"lottery": {"winPercent": 101}})",
        R"({"version": 3)",
        R"([1, 2])",
    };
    for (const char* text : bad) {
        EXPECT_FALSE(parseScenario(text).ok()) << text;
    }
    const auto fine = parseScenario(R"({"accounts": [{"uin": "7", "password": "p",
        "balances": {"英雄联盟": 3, "61": 4, "DNF": 5}}]})");
    ASSERT_TRUE(fine.ok()) << fine.error().message;
    const std::map<int, std::int64_t> expected = {{26, 3}, {61, 4}, {1, 5}};
    EXPECT_EQ(fine->accounts.at(0).balances, expected);
    EXPECT_EQ(fine->items.size(), catalogue().size());
    // An item is named by propsid or by the tool's id alike.
    const auto byId = parseScenario(R"({"items": {"nz-famas-3d": {"stock": 3}},
        "accounts": [{"uin": "7", "password": "p", "unmet": ["cf-rename"]}]})");
    ASSERT_TRUE(byId.ok()) << byId.error().message;
    EXPECT_EQ(byId->items.at(1397812892).stock, 3);
    EXPECT_EQ(byId->accounts.at(0).unmet, std::vector<std::int64_t>{1397711761});
    ASSERT_TRUE(parseScenario("").ok());
    EXPECT_EQ(parseScenario("")->accounts.at(0).uin, kDemoAccount);
}

std::string contentLength(const std::string& bytes) {
    static const std::regex re("Content-Length: (\\d+)\r\n");
    std::smatch m;
    return std::regex_search(bytes, m, re) ? m[1].str() : std::string{};
}

std::string bodyOf(const std::string& bytes) {
    const auto end = bytes.find("\r\n\r\n");
    return end == std::string::npos ? std::string{} : bytes.substr(end + 4);
}

TEST(PortalFaults, EachModeMisbehavesAsAsked) {
    using Check = std::function<void(const test::RawResult&)>;
    namespace err = boost::asio::error;
    struct Case {
        std::string fault;
        bool takesStock;
        Check check;
    };
    const Case cases[] = {
        {R"({"mode": "refuse"})", false,
         [](const auto& r) {
             EXPECT_EQ(r.bytes, "");
             EXPECT_EQ(r.end, err::connection_reset);
         }},
        {R"({"mode": "garbage_status"})", false,
         [](const auto& r) { EXPECT_TRUE(r.bytes.starts_with("HTXP/")); }},
        {R"({"mode": "reset_mid_body"})", true,
         [](const auto& r) {
             EXPECT_LT(bodyOf(r.bytes).size(), std::stoul(contentLength(r.bytes)));
             EXPECT_NE(r.end, err::eof);
         }},
        {R"({"mode": "truncated_chunked"})", true,
         [](const auto& r) {
             EXPECT_NE(r.bytes.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
             EXPECT_FALSE(r.bytes.ends_with("0\r\n\r\n"));
             EXPECT_EQ(r.end, err::eof);
         }},
        {R"({"mode": "huge_body", "bytes": 3000000})", false,
         [](const auto& r) {
             EXPECT_EQ(contentLength(r.bytes), "3000000");
             EXPECT_EQ(bodyOf(r.bytes).size(), 3000000u);
         }},
        {R"({"mode": "invalid_gbk"})", true,
         [](const auto& r) {
             EXPECT_NE(r.bytes.find("\xFF\x81\x7F"), std::string::npos);
             EXPECT_NE(gbkToUtf8(r.bytes).find("成功兑换防弹衣"), std::string::npos);
         }},
        {R"({"mode": "no_marker"})", false,
         [](const auto& r) {
             EXPECT_TRUE(r.bytes.starts_with("HTTP/1.1 200 OK\r\n"));
             for (const char* marker : {"很抱歉，", "popaitem c", "差一点点就中奖了", "兑换完"}) {
                 EXPECT_EQ(gbkToUtf8(r.bytes).find(marker), std::string::npos) << marker;
             }
         }},
        {R"({"mode": "status_429"})", false,
         [](const auto& r) {
             EXPECT_TRUE(r.bytes.starts_with("HTTP/1.1 429 Too Many Requests\r\n"));
             EXPECT_NE(r.bytes.find("Retry-After: 1\r\n"), std::string::npos);
         }},
        {R"({"mode": "status_503"})", false,
         [](const auto& r) { EXPECT_TRUE(r.bytes.starts_with("HTTP/1.1 503 ")); }},
        {R"({"mode": "redirect_loop"})", false,
         [](const auto& r) {
             EXPECT_TRUE(r.bytes.starts_with("HTTP/1.1 302 "));
             EXPECT_NE(r.bytes.find("Location: " + kExchange + "\r\n"), std::string::npos);
         }},
        {R"({"mode": "slow", "delayMs": 0.05})", true,
         [](const auto& r) {
             EXPECT_EQ(bodyOf(r.bytes).size(), std::stoul(contentLength(r.bytes)));
         }},
        {R"({"mode": "delay", "delayMs": 1})", true,
         [](const auto& r) {
             EXPECT_NE(gbkToUtf8(r.bytes).find("popaitem c"), std::string::npos);
         }},
    };
    auto server = startOrDie({});
    ASSERT_TRUE(server);
    const std::string cookie = server->sessionCookie().value();
    const std::string request = "GET " + kExchange +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie +
                                "\r\nConnection: close\r\n\r\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(
            server
                ->setScenario(R"({"faults": {"/mall/index.php?op=exchangeing": )" + c.fault + "}}")
                .ok());
        c.check(test::rawExchange(server->port(), request));
        EXPECT_EQ(server->stock(1399626483), c.takesStock ? 999 : 1000);
        // The fault sits on the exchange alone: the mall's index beside it answers.
        EXPECT_EQ(fetch(server->port(), "/mall/index.php").status, 200);
    }
}

TEST(PortalFaults, LimitedFaultAndHang) {
    auto server = startOrDie({});
    ASSERT_TRUE(server);
    ASSERT_TRUE(
        server->setScenario(R"({"faults": {"/forum.php": {"mode": "status_503", "times": 2}}})")
            .ok());
    EXPECT_EQ(fetch(server->port(), "/forum.php").status, 503);
    EXPECT_EQ(fetch(server->port(), "/forum.php").status, 503);
    EXPECT_EQ(fetch(server->port(), "/forum.php").status, 200);

    ASSERT_TRUE(server->setScenario(R"({"faults": {"/": {"mode": "hang"}}})").ok());
    server->clearLog();
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    socket.connect({boost::asio::ip::make_address_v4("127.0.0.1"), server->port()});
    boost::asio::write(socket,
                       boost::asio::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n")));
    ASSERT_TRUE(vellicor::test::waitUntil([&server] { return !server->log().empty(); }))
        << "the hung request never reached the simulator's log";
    // Taken in: a normal answer would be on its way by now; a hung one never comes.
    EXPECT_EQ(server->log().at(0).target, "/");
    EXPECT_EQ(socket.available(), 0u);
}

TEST(PortalServer, ConnectionsCloseWhenTold) {
    namespace asio = boost::asio;
    auto server = startOrDie({});
    ASSERT_TRUE(server);
    const auto connect = [&](asio::io_context& io) {
        asio::ip::tcp::socket s(io);
        s.connect({asio::ip::make_address_v4("127.0.0.1"), server->port()});
        return s;
    };
    const auto readToEnd = [](asio::ip::tcp::socket& s) {
        std::string got;
        char chunk[4096];
        boost::system::error_code ec;
        while (!ec) {
            got.append(chunk, s.read_some(asio::buffer(chunk), ec));
        }
        return got;
    };
    asio::io_context io;
    // A client that asks before sending its body gets the go-ahead first.
    auto asking = connect(io);
    asio::write(asking, asio::buffer(std::string(
                            "POST /cgi-bin/login_submit HTTP/1.1\r\nHost: x\r\nExpect: "
                            "100-continue\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: 23\r\nConnection: close\r\n\r\n")));
    char first[25] = {};
    asio::read(asking, asio::buffer(first, 25));
    EXPECT_EQ(std::string(first, 25), "HTTP/1.1 100 Continue\r\n\r\n");
    asio::write(asking, asio::buffer(std::string("u=10001&p=demo-password")));
    EXPECT_TRUE(readToEnd(asking).starts_with("HTTP/1.1 302 Found\r\n"));

    // The "close" fault answers and then ends a kept-alive connection; so does idleness.
    ASSERT_TRUE(
        server->setScenario(R"({"idleTimeoutMs": 20, "faults": {"/forum.php": {"mode": "close"}}})")
            .ok());
    for (const std::string target : {"/forum.php", "/"}) {
        auto s = connect(io);
        asio::write(s, asio::buffer("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
        const std::string got = readToEnd(s);
        EXPECT_TRUE(got.starts_with("HTTP/1.1 200 OK\r\n")) << target;
        EXPECT_NE(got.find(target == "/" ? "Connection: keep-alive" : "Connection: close"),
                  std::string::npos)
            << target;
    }
}

TEST(PortalServer, TlsListenerServesTheSamePortal) {
    ServerOptions o;
    o.tlsCertFile = std::string(VELLICOR_TEST_TLS_DIR) + "/server.pem";
    o.tlsKeyFile = std::string(VELLICOR_TEST_TLS_DIR) + "/server.key";
    auto server = startOrDie(o);
    ASSERT_TRUE(server);
    ASSERT_NE(server->tlsPort(), 0);
    HttpSettings settings;
    settings.caFile = std::string(VELLICOR_TEST_TLS_DIR) + "/ca.pem";
    web::PageRequest request;
    request.url = server->tlsBaseUrl() + "/thread-1-1-1.html";
    auto reply = web::pageRequest(request, settings);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(reply->status, 200);
    EXPECT_NE(gbkToUtf8(reply->body).find("Version: 3 正式发布拉"), std::string::npos);
    ASSERT_EQ(server->log().size(), 1u);
    EXPECT_TRUE(server->log()[0].secure);

    o.tlsKeyFile = "/nonexistent.key";
    EXPECT_FALSE(Server::start(o).ok());
}

// Runs the program with its output on a pipe; returns the pid and the first line.
std::pair<pid_t, std::string> launch(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {-1, {}};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        std::vector<char*> argv;
        std::string path = VELLICOR_PORTAL_PATH;
        argv.push_back(path.data());
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string line;
    char ch = 0;
    while (read(fds[0], &ch, 1) == 1 && ch != '\n') {
        line += ch;
    }
    close(fds[0]);
    return {pid, line};
}

int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PortalProgram, AnnouncesItsPortAndStopsOnSignal) {
    const std::string scenario = ::testing::TempDir() + "/portal_scenario.json";
    std::ofstream(scenario) << R"({"version": "7"})";
    const auto [pid, line] = launch({"--port", "0", "--scenario", scenario});
    ASSERT_GT(pid, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex("listening on http://127\\.0\\.0\\.1:(\\d+)")))
        << line;
    const auto port = static_cast<std::uint16_t>(std::stoi(m[1].str()));
    EXPECT_NE(fetch(port, "/thread-3-1-1.html").text.find("Version: 7 正式发布拉"),
              std::string::npos);
    kill(pid, SIGTERM);
    EXPECT_EQ(waitExit(pid), 0);

    for (const auto& args : {std::vector<std::string>{"--port", "x"},
                             std::vector<std::string>{"--scenario", "/nonexistent.json"},
                             std::vector<std::string>{"--frobnicate", "1"}}) {
        const auto [bad, out] = launch(args);
        EXPECT_EQ(out, "");
        EXPECT_EQ(waitExit(bad), 2) << args[0];
    }
}

}  // namespace
}  // namespace vellicor::portal
