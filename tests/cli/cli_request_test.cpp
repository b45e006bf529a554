// vellicor-cli request, run as the user runs it, against a loopback server.
#include <gtest/gtest.h>

#include <cstdio>

#include "portal/server.h"
#include "raw_server.h"
#include "run_command.h"

namespace vellicor {
namespace {

// Runs the CLI with the arguments (already shell-quoted); stderr goes to `errFile`.
test::CommandRun runCli(const std::string& args, const std::string& errFile) {
    return test::runCommand(std::string(VELLICOR_CLI_PATH) + " request " + args + " 2>" + errFile);
}

std::string readFile(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char block[4096];
        for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) {
            text.append(block, n);
        }
        std::fclose(f);
    }
    return text;
}

std::string errPath() {
    return ::testing::TempDir() + "/cli_request_err.txt";
}

TEST(CliRequest, PrintsTheFourSections) {
    // The body is GBK: "兑换成功".
    test::RawServer server(test::replyWith(test::httpReply(
        "302 Found", "Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\nLocation: http://x/next\r\n",
        "\xB6\xD2\xBB\xBB\xB3\xC9\xB9\xA6")));
    const auto run = runCli("'" + server.url("/p") +
                                "' --method POST --body 'k=v' --cookie 's=1' "
                                "--header 'X-A: 1' --header 'X-B: 2'",
                            errPath());
    ASSERT_EQ(run.exitCode, 0) << readFile(errPath());
    EXPECT_EQ(run.out,
              "== reply header text ==\n"
              "HTTP/1.1 302 Found\nSet-Cookie: a=1; path=/\nSet-Cookie: b=2\n"
              "Location: http://x/next\nContent-Length: 8\nConnection: close\n"
              "== reply cookies ==\na=1; b=2\n"
              "== redirect target ==\nhttp://x/next\n"
              "== body ==\n兑换成功\n");
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string seen = server.requests().front();
    EXPECT_NE(seen.find("X-A: 1\r\nX-B: 2\r\nReferer: "), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r\nCookie: s=1\r\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.substr(seen.size() - 3), "k=v");
}

TEST(CliRequest, ShowsAPortalPageDecoded) {
    auto server = portal::Server::start();
    ASSERT_TRUE(server.ok()) << server.error().message;
    const auto run = runCli("'" + server.value()->baseUrl() + "/cgi-bin/qlogin'", errPath());
    ASSERT_EQ(run.exitCode, 0) << readFile(errPath());
    EXPECT_EQ(run.out.rfind("== reply header text ==\nHTTP/1.1 200 OK\n", 0), 0u) << run.out;
    const auto bodyAt = run.out.find("\n== body ==\n");
    ASSERT_NE(bodyAt, std::string::npos);
    EXPECT_NE(run.out.find("使用其他号码登录", bodyAt), std::string::npos);
}

TEST(CliRequest, FailuresAreOneLineAndNonZero) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/";
    for (const std::string& args : {"'" + refused + "'", std::string("'not an address'"),
                                    "'" + refused + "' --method PUT", std::string("--bogus x")}) {
        const auto run = runCli(args, errPath());
        EXPECT_NE(run.exitCode, 0) << args;
        EXPECT_EQ(run.out, "") << args;
        const std::string err = readFile(errPath());
        ASSERT_FALSE(err.empty()) << args;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << args << ": " << err;
    }
}

}  // namespace
}  // namespace vellicor
