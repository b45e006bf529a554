// vellicor-cli's session and exit status, run as the user runs it, against loopback portals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mall/catalogue.h"
#include "portal/server.h"
#include "raw_server.h"
#include "run_command.h"
#include "temp_folder.h"

namespace vellicor {
namespace {

// Each run is bounded: `timeout` ends a command still running after a minute (exit 124).
test::CommandRun runCli(const std::string& args) {
    return test::runCommand("timeout 60 " + std::string(VELLICOR_CLI_PATH) + " " + args + " 2>&1");
}

// The demo account belongs to the simulator the CLI starts itself: a portal the user names,
// by --portal or in a file, is sent no login without --cookie, and the command says how to
// give one.
TEST(CliCommands, NamedPortalWithoutCookieIsRefused) {
    auto server = portal::Server::start();
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::string file = ::testing::TempDir() + "/cli_commands.ini";
    std::ofstream(file) << "[portal]\naccount_login = " << (*server)->baseUrl() << "\n"
                        << "mall = " << (*server)->baseUrl() << "\n";
    for (const std::string& where : {"--portal " + (*server)->baseUrl(), "--config " + file}) {
        for (const std::string command :
             {"balances", "signin-status", "exchange --items 选择框1 --threads 1"}) {
            const auto run = runCli(command + " " + where);
            EXPECT_EQ(run.exitCode, 1) << command << " " << where << ":\n" << run.out;
            EXPECT_NE(run.out.find("没有会话：请用 --cookie"), std::string::npos) << run.out;
        }
    }
    EXPECT_TRUE((*server)->log().empty());
}

TEST(CliCommands, ExchangeExitStatus) {
    auto server = portal::Server::start(R"({"sessions": {"10001": "k"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::string session = " --cookie 'uin=o10001; skey=k'";
    const std::string closed = "http://127.0.0.1:" + std::to_string(test::closedPort());
    struct Case {
        std::string args;
        int exitCode;
    };
    const Case cases[] = {
        {"--items 选择框1 --threads 2", 0},  // the built-in simulator, its demo account
        {"--items 选择框1 --threads 2 --portal " + (*server)->baseUrl() + session, 0},
        {"--items 选择框1 --threads 2 --portal " + closed + session, 3},  // nothing answered
        {"--items 选择框1 --threads 0 --portal " + closed + session, 1},  // nothing sent
        {"--items 选择框1 --threads 2 --bogus x", 2},
        {"--items 选择框1", 2},
    };
    for (const auto& c : cases) {
        const auto run = runCli("exchange " + c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args << ":\n" << run.out;
    }
}

// check: the exchange's command line, a line per point, 0 only when nothing failed, and no
// exchange request whichever way.
TEST(CliCommands, CheckExitStatus) {
    auto server = portal::Server::start(R"({"sessions": {"10001": "k"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    // The mall's clock is read in the table of the readiness test; here it would only wait.
    const std::string file = ::testing::TempDir() + "/cli_check.ini";
    std::ofstream(file) << "[timer]\nserver_clock = false\n";
    const std::string portal = " --config " + file + " --portal " + (*server)->baseUrl();
    struct Case {
        std::string args;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {portal + " --cookie 'uin=o10001; skey=k'", 0, "[通过] 帐号：会话有效"},
        {portal + " --cookie 'uin=o10001; skey=ended'", 1, "[失败] 帐号：会话已失效"},
        {" --timeline x.csv", 2, "unknown option --timeline"},
    };
    for (const auto& c : cases) {
        const auto run = runCli("check --items cf-rename --threads 2" + c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args << ":\n" << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << c.args << ":\n" << run.out;
    }
    for (const auto& request : (*server)->log()) {
        EXPECT_EQ(request.target.find("op=exchangeing"), std::string::npos) << request.target;
    }
}

// `--items` takes ids, the window's old box names, or both; a name it does not know (or an
// item not on offer) is named on the error stream and nothing at all is sent.
TEST(CliCommands, ExchangeItemsByIdOrOldName) {
    auto server = portal::Server::start(R"({"sessions": {"10001": "k"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    struct Case {
        std::string items;
        int exitCode;
        std::set<std::string> propsids;  // of the exchanges the mall took
        std::string says;                // in the output
    };
    const Case cases[] = {
        {"cf-rename", 0, {"1397711761"}, "[改名]"},
        {"选择框1", 0, {"1397711761"}, "[改名]"},
        {"nz-famas-3d,选择框3", 0, {"1399626483", "1397812892"}, "[战地FAMAS（3天）]"},
        {"cf-rename,nz-famas-9d", 1, {}, "nz-famas-9d"},
        {"选择框46", 1, {}, "选择框46"},
        {"speed-fruit-plate", 1, {}, "水果拼盘"},
    };
    for (const auto& c : cases) {
        (*server)->clearLog();
        const auto run = runCli("exchange --items '" + c.items + "' --threads 1 --portal " +
                                (*server)->baseUrl() + " --cookie 'uin=o10001; skey=k'");
        EXPECT_EQ(run.exitCode, c.exitCode) << c.items << ":\n" << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << c.items << ":\n" << run.out;
        std::set<std::string> propsids;
        for (const auto& request : (*server)->log()) {
            static const std::regex propsid("propsid=(\\d+)");
            std::smatch m;
            if (std::regex_search(request.target, m, propsid)) {
                propsids.insert(m[1]);
            }
        }
        EXPECT_EQ(propsids, c.propsids) << c.items;
        if (c.exitCode != 0) {
            EXPECT_TRUE((*server)->log().empty()) << c.items;
        }
    }
}

// An accounts file for a test, in the test's temporary folder.
std::string accountsFile(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// balances and signin-status read every account of the file, one block each under the
// account's name, each with its own session, and print no cookie of the file.
TEST(CliCommands, EveryAccountOfTheFileIsReadUnderItsName) {
    auto server = portal::Server::start(
        R"({"sessions": {"10001": "SECRET-1", "10002": "SECRET-2", "10003": "SECRET-3"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::string file =
        accountsFile("accounts-three.txt",
                     "# three\n大号\tuin=o10001; skey=SECRET-1\n小号2\tuin=o10002; skey=SECRET-2\n"
                     "10003\tuin=o10003; skey=SECRET-3\n");
    const std::string where = " --accounts " + file + " --portal " + (*server)->baseUrl();
    struct Case {
        std::string command;
        std::vector<std::string> shown;  // in order: each account's name, then what it shows
    };
    const Case cases[] = {
        {"balances",
         {"【大号】", "CF 游票: 500\n", "【小号2】", "CF 游票: 240\n", "【10003】",
          "CF 游票: 20\n"}},
        {"signin-status",
         {"【大号】", "CF  未签到 11", "【小号2】", "CF  签到成功 4", "【10003】", "CF  未签到 0"}},
    };
    for (const Case& c : cases) {
        const auto run = runCli(c.command + where);
        EXPECT_EQ(run.exitCode, 0) << c.command << ":\n" << run.out;
        std::size_t at = 0;
        for (const std::string& text : c.shown) {
            const auto found = run.out.find(text, at);
            EXPECT_NE(found, std::string::npos) << c.command << " " << text << ":\n" << run.out;
            at = found == std::string::npos ? at : found;
        }
        EXPECT_EQ(run.out.find("SECRET"), std::string::npos) << c.command << ":\n" << run.out;
    }
    std::set<std::string> seen;
    for (const auto& request : (*server)->log()) {
        seen.insert(request.cookies);
    }
    const std::set<std::string> expected = {
        "uin=o10001; skey=SECRET-1", "uin=o10002; skey=SECRET-2", "uin=o10003; skey=SECRET-3"};
    EXPECT_EQ(seen, expected);
}

// An account with a proxy of its own goes through it, and only that account does: for its
// balances, and in an exchange run it shares with an account without one.
TEST(CliCommands, AnAccountGoesByItsOwnProxy) {
    struct Case {
        std::string command;
        std::string says;
    };
    const Case cases[] = {
        {"balances", "【b】\nCF 游票: 240\n"},
        {"exchange --items cf-rename --threads 2", "[改名] b #2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        auto server =
            portal::Server::start(R"({"sessions": {"10001": "SECRET-1", "10002": "SECRET-2"}})");
        ASSERT_TRUE(server.ok()) << server.error().message;
        test::RawServer proxy(test::forwardingProxy());
        const std::string file =
            accountsFile("accounts-proxy.txt",
                         "a\tuin=o10001; skey=SECRET-1\nb\tuin=o10002; skey=SECRET-2\t127.0.0.1:" +
                             std::to_string(proxy.port()) + "\n");
        const auto run =
            runCli(c.command + " --accounts " + file + " --portal " + (*server)->baseUrl());
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        // The run's own connections ask this forwarding-only proxy for tunnels first, which it
        // refuses; those asks carry nothing of the account and reach no mall.
        std::vector<std::string> requests;
        for (const std::string& request : proxy.requests()) {
            if (request.rfind("CONNECT ", 0) == 0) {
                EXPECT_EQ(request.find("SECRET"), std::string::npos) << request;
            } else {
                requests.push_back(request);
            }
        }
        ASSERT_FALSE(requests.empty());
        for (const std::string& request : requests) {
            EXPECT_NE(request.find("skey=SECRET-2"), std::string::npos) << request;
            EXPECT_EQ(request.find("SECRET-1"), std::string::npos) << request;
        }
        std::size_t direct = 0;
        for (const auto& request : (*server)->log()) {
            direct += request.cookies.find("SECRET-1") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(direct + requests.size(), (*server)->log().size());
    }
}

// The built-in simulator logs in the demo accounts the file names, each with its balances.
TEST(CliCommands, TheBuiltInDemoLogsInTheAccountsTheFileNames) {
    const std::string file = accountsFile("accounts-demo.txt", "10003\tdemo\n10002\tdemo\n");
    const auto run = runCli("balances --accounts " + file);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("【10003】\nCF 游票: 20\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("【10002】\nCF 游票: 240\n"), std::string::npos) << run.out;
    EXPECT_LT(run.out.find("【10003】"), run.out.find("【10002】")) << run.out;
}

// An accounts file that cannot be used, or one the command cannot use, stops the command
// before anything is sent, says which line is at fault, and shows none of its cookies.
TEST(CliCommands, AnAccountsFileAtFaultSendsNothing) {
    auto server = portal::Server::start(R"({"sessions": {"10001": "k1", "10002": "k2"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::string one = "a\tuin=o10001; skey=SECRET-1\n";
    struct Case {
        const char* what;
        std::string command;
        std::string text;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {"a line without a tab", "balances", one + "b uin=o10002; skey=SECRET-2\n", 1, "第 2 行"},
        {"a name twice", "signin-status", one + "\na\tuin=o10002; skey=SECRET-2\n", 1,
         "第 3 行：帐号名称 \"a\" 与第 1 行重复"},
        {"no cookie", "exchange --items cf-rename --threads 1", one + "b\n", 1, "第 2 行"},
        {"not UTF-8", "balances", one + "b\tuin=o10002; skey=SECRET-\xff\n", 1, "第 2 行"},
        {"--cookie as well", "balances --cookie 'uin=o10001; skey=SECRET-1'", one, 2,
         "只能给出其一"},
        {"demo outside the simulator", "balances", "10001\tdemo\n", 1, "内置的模拟商城"},
    };
    for (const Case& c : cases) {
        const std::string file = accountsFile("accounts-bad.txt", c.text);
        const auto run =
            runCli(c.command + " --accounts " + file + " --portal " + (*server)->baseUrl());
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what << ":\n" << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << c.what << ":\n" << run.out;
        EXPECT_EQ(run.out.find("SECRET"), std::string::npos) << c.what << ":\n" << run.out;
        EXPECT_TRUE((*server)->log().empty()) << c.what;
    }
}

// Every account of the file runs in the one run, each with its own session and its lines
// naming it after the item: an item each account may take once a day goes once to each, the
// second try of each refused; the summary counts each account.
TEST(CliCommands, ExchangeForEveryAccountOfTheFile) {
    auto server = portal::Server::start(
        R"({"sessions": {"10001": "SECRET-1", "10002": "SECRET-2"},
            "items": {"cf-rename": {"stock": 5, "perAccountDaily": 1}}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::string file = accountsFile(
        "accounts-two.txt", "大号\tuin=o10001; skey=SECRET-1\n小号2\tuin=o10002; skey=SECRET-2\n");
    const auto run = runCli("exchange --items cf-rename --threads 2 --accounts " + file +
                            " --portal " + (*server)->baseUrl());
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find("SECRET"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("开始兑换：2 个帐号，1 个商品，每个 2 个请求，共 4 个"),
              std::string::npos)
        << run.out;
    for (const std::string name : {"大号", "小号2"}) {
        std::size_t won = 0;
        std::size_t limited = 0;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("[改名] " + name + " #") != std::string::npos) {
                won += line.find("成功兑换改名") != std::string::npos ? 1 : 0;
                limited += line.find("每个帐号每天限兑 1 次") != std::string::npos ? 1 : 0;
            }
        }
        EXPECT_EQ(won, 1u) << name << ":\n" << run.out;
        EXPECT_EQ(limited, 1u) << name << ":\n" << run.out;
        // The summary's line of the account, without the log box's "\r".
        EXPECT_NE(run.out.find("\n  帐号 " + name + " "), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find('\r'), std::string::npos) << run.out;
    }
    // Each request carries one account's cookies alone: two requests each.
    std::map<std::string, int> byCookies;
    for (const auto& request : (*server)->log()) {
        if (request.target.find("op=exchangeing") != std::string::npos) {
            ++byCookies[request.cookies];
        }
    }
    const std::map<std::string, int> expected = {{"uin=o10001; skey=SECRET-1", 2},
                                                 {"uin=o10002; skey=SECRET-2", 2}};
    EXPECT_EQ(byCookies, expected);
    EXPECT_EQ((*server)->stock(1397711761), 3);
    EXPECT_EQ((*server)->balances("10001").at(2), 480);
    EXPECT_EQ((*server)->balances("10002").at(2), 220);
}

// An account whose session has ended is named and left out; the others run. With none left,
// nothing is exchanged.
TEST(CliCommands, AnEndedSessionLeavesItsAccountOut) {
    auto server = portal::Server::start(R"({"sessions": {"10002": "SECRET-2"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    struct Case {
        std::string text;
        int exitCode;
        std::set<std::string> exchangedBy;  // the cookies of the exchanges the mall took
    };
    const Case cases[] = {
        {"大号\tuin=o10001; skey=SECRET-gone\n小号2\tuin=o10002; skey=SECRET-2\n",
         0,
         {"uin=o10002; skey=SECRET-2"}},
        {"大号\tuin=o10001; skey=SECRET-gone\n小号3\tuin=o10003; skey=SECRET-gone\n", 1, {}},
    };
    for (const Case& c : cases) {
        (*server)->clearLog();
        const auto run = runCli("exchange --items cf-rename --threads 1 --accounts " +
                                accountsFile("accounts-ended.txt", c.text) + " --portal " +
                                (*server)->baseUrl());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
        EXPECT_NE(run.out.find("警告：帐号 大号 的会话已失效"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("SECRET"), std::string::npos) << run.out;
        std::set<std::string> exchangedBy;
        for (const auto& request : (*server)->log()) {
            if (request.target.find("op=exchangeing") != std::string::npos) {
                exchangedBy.insert(request.cookies);
            }
        }
        EXPECT_EQ(exchangedBy, c.exchangedBy) << run.out;
    }
}

// One account in the file runs as --cookie does, with that account's session.
TEST(CliCommands, ExchangeForTheOneAccountOfTheFile) {
    auto server = portal::Server::start(R"({"sessions": {"10002": "SECRET-2"}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    const std::string file = accountsFile("accounts-one.txt", "小号2\tuin=o10002; skey=SECRET-2\n");
    const auto run = runCli("exchange --items cf-rename --threads 1 --accounts " + file +
                            " --portal " + (*server)->baseUrl());
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("成功兑换改名"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("SECRET"), std::string::npos) << run.out;
    EXPECT_EQ((*server)->balances("10002").at(2), 220);
    EXPECT_EQ((*server)->balances("10001").at(2), 500);
}

// The list a user picks ids from holds every item of the catalogue.
// --timeline writes the run's rows or its picture, by the file's extension; a name of any
// other kind is a command line not understood, and nothing is sent.
TEST(CliCommands, ExchangeWritesItsTimeline) {
    test::TempFolder folder("vellicor-timeline");
    ASSERT_FALSE(folder.path().empty());
    struct Case {
        std::string file;
        int exitCode;
        std::string starts;  // the file's first bytes; empty: no file
    };
    const Case cases[] = {
        {"run.csv", 0, "account,item_id,item,worker,attempt,left_ms,"},
        {"run.SVG", 0, "<svg xmlns=\"http://www.w3.org/2000/svg\""},
        {"run.png", 2, ""},
        {"run", 2, ""},
        // Seen: sent every request, then failed on the file with the status that says nothing
        // was sent. Now found before anything is.
        {"no-such-folder/run.csv", 1, ""},
    };
    for (const auto& c : cases) {
        const std::string path = folder.path() + "/" + c.file;
        const auto run =
            runCli("exchange --items cf-rename --threads 3 --name 机房一 --timeline " + path);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.file << ":\n" << run.out;
        const std::string text = test::readText(path);
        if (c.starts.empty()) {
            EXPECT_TRUE(text.empty()) << c.file;
            EXPECT_EQ(run.out.find("演示模式"), std::string::npos) << "refused first: " << run.out;
            continue;
        }
        EXPECT_EQ(text.rfind(c.starts, 0), 0u) << text.substr(0, 200);
        EXPECT_NE(run.out.find("时间线已写入 " + path), std::string::npos) << run.out;
    }
    // A file that takes no bytes once the requests are out (a full disk): they were sent, and
    // the status says so.
    const std::string full = folder.path() + "/full.csv";
    ASSERT_EQ(::symlink("/dev/full", full.c_str()), 0);
    const auto sent = runCli("exchange --items cf-rename --threads 1 --timeline " + full);
    EXPECT_EQ(sent.exitCode, 4) << sent.out;
    EXPECT_NE(sent.out.find("[改名] #1  :"), std::string::npos) << sent.out;
    // A run of now counts from its first request: each of the three left at or after it and
    // was answered later.
    std::istringstream csv(test::readText(folder.path() + "/run.csv"));
    std::string line;
    std::getline(csv, line);
    int first = 0;
    while (std::getline(csv, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) {
            f.push_back(field);
        }
        ASSERT_EQ(f.size(), 15u) << line;
        EXPECT_EQ(f[1], "cf-rename") << line;
        EXPECT_EQ(f[12] + "|" + f[13] + "|" + f[14], "机房一||first_request") << line;
        ASSERT_FALSE(f[5].empty() || f[9].empty()) << line;
        EXPECT_GE(std::stod(f[5]), 0.0) << line;
        EXPECT_GT(std::stod(f[9]), std::stod(f[5])) << line;
        EXPECT_EQ(f[6], "") << "no estimate in a run of now: " << line;
        first += f[4] == "1" ? 1 : 0;
    }
    EXPECT_EQ(first, 3);
}

TEST(CliCommands, ItemsListsEveryId) {
    const auto run = runCli("items");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    for (const mall::Item& item : mall::items()) {
        EXPECT_NE(run.out.find(std::string(item.id) + " "), std::string::npos) << item.id;
        EXPECT_NE(run.out.find(item.caption), std::string::npos) << item.id;
    }
}

// The set time's day is fixed when the command starts: a mall so slow that reading its clock
// outlasts the time left gets its run at the set second by the computer's clock, as the
// window's does, once, and the late reading says so; the run never waits for the next day. The
// mall takes each request 4 s after it came, the set time is 3 s ahead: the first clock
// reading alone outlasts it.
TEST(CliCommands, ClockReadingOutlastingTheTimeLeftKeepsTheComputersClock) {
    auto server = portal::Server::start(
        R"({"sessions": {"10001": "k"}, "path": {"upMs": 4000, "downMs": 0}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::time_t beijing =
        std::chrono::system_clock::to_time_t(now + std::chrono::seconds(3)) + 8 * 3600;
    std::tm at{};
    gmtime_r(&beijing, &at);
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", at.tm_hour, at.tm_min, at.tm_sec);
    // Bounded: a command that took the passed second for the next day's would wait a day.
    const auto run = runCli("exchange --items 选择框1 --threads 2 --at " + std::string(clock) +
                            " --portal " + (*server)->baseUrl() + " --cookie 'uin=o10001; skey=k'");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("本次请求已按本机时钟发出"), std::string::npos) << run.out;
    std::size_t exchanges = 0;
    for (const auto& request : (*server)->log()) {
        exchanges += request.target.find("op=exchangeing") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(exchanges, 2u);
}

}  // namespace
}  // namespace vellicor
