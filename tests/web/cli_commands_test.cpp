// vellicor-cli's session and exit status, run as the user runs it, against loopback portals.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>

#include "mall/catalogue.h"
#include "portal/server.h"
#include "raw_server.h"
#include "run_command.h"

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

// The list a user picks ids from holds every item of the catalogue.
TEST(CliCommands, ItemsListsEveryId) {
    const auto run = runCli("items");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    for (const mall::Item& item : mall::items()) {
        EXPECT_NE(run.out.find(std::string(item.id) + " "), std::string::npos) << item.id;
        EXPECT_NE(run.out.find(item.caption), std::string::npos) << item.id;
    }
}

// The set time's day is fixed when the command starts: a mall so slow that reading its clock
// outlasts the time left makes the set second pass meanwhile, and the command says so and
// exits, rather than waiting for the next day. The mall takes each request 4 s after it came,
// the set time is 3 s ahead: the first clock reading alone outlasts it.
TEST(CliCommands, SetTimePassedWhileReadingTheClockExitsNonZero) {
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
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("已过"), std::string::npos) << run.out;
    for (const auto& request : (*server)->log()) {
        EXPECT_EQ(request.target.find("op=exchangeing"), std::string::npos) << request.target;
    }
}

}  // namespace
}  // namespace vellicor
