// vellicor-cli's session and exit status, run as the user runs it, against loopback portals.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

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
