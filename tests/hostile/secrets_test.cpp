// What must never leak or be forged: certificate checks stay on, a page or a configuration
// cannot add header lines of its own, and the session never reaches the log.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include "doubles.h"
#include "mall/balances.h"
#include "mall/exchange_run.h"
#include "platform/config.h"
#include "portal/server.h"
#include "run_command.h"
#include "signin/signin.h"
#include "web/page_request.h"

namespace vellicor {
namespace {

std::string readAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST(Secrets, CertificateChecksAreNeverSwitchedOff) {
    const std::regex off(
        R"(VERIFY(PEER|HOST)\s*,\s*0|VerifyNone|ignoreCertificateError|acceptCertificate\(|)"
        R"(ignore-certificate-errors|insecure)");
    int files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(
             std::filesystem::path(VELLICOR_SOURCE_DIR) / "src")) {
        if (!e.is_regular_file()) {
            continue;
        }
        ++files;
        const std::string text = readAll(e.path());
        std::smatch m;
        EXPECT_FALSE(std::regex_search(text, m, off)) << e.path() << ": " << m.str();
    }
    EXPECT_GT(files, 20);
}

TEST(Secrets, NoHeaderLinesSmuggledIn) {
    struct Case {
        const char* what;
        std::string url;
        std::string cookies;
        std::string headerText;
    } cases[] = {
        {"CRLF in the cookie string", "http://127.0.0.1/", "a=1\r\nX-Evil: 1", ""},
        {"lone LF in the cookie string", "http://127.0.0.1/", "a=1\nX-Evil: 1", ""},
        {"NUL in the cookie string", "http://127.0.0.1/", std::string("a=1\0b", 5), ""},
        {"empty line in the header text", "http://127.0.0.1/", "", "A: 1\r\n\r\nGET / HTTP/1.1"},
        {"lone CR in the header text", "http://127.0.0.1/", "", "A: 1\rX-Evil: 1"},
        {"no name in the header text", "http://127.0.0.1/", "", ": value"},
        {"line break in the address", "http://127.0.0.1/\r\nX-Evil: 1", "", ""},
        {"blank in the address", "http://127.0.0.1/a b", "", ""},
    };
    for (const auto& c : cases) {
        web::PageRequest request;
        request.url = c.url;
        request.cookies = c.cookies;
        request.headerText = c.headerText;
        EXPECT_FALSE(web::completeHeaderText(request).ok()) << c.what;
    }
}

// A reply cookie with a stray CR merged into the session stays one header line or is
// refused; it never becomes a line of its own.
TEST(Secrets, ReplyCookiesCannotForgeLines) {
    const std::string fresh =
        web::replyCookies("HTTP/1.1 200 OK\r\nSet-Cookie: a=1\rX-Evil: 1\r\n");
    web::PageRequest request;
    request.url = "http://127.0.0.1/";
    request.cookies = web::mergeCookies("uin=o1", fresh);
    EXPECT_FALSE(web::completeHeaderText(request).ok());
}

TEST(Secrets, ConfiguredHostsCannotCarryHeaderLines) {
    EXPECT_FALSE(parseConfig("[portal]\nmall = http://127.0.0.1:9/\rX-Evil: 1\n").ok());
    Config config = Config::defaults();
    config.mall = "http://127.0.0.1:9/\rX-Evil: 1";
    const auto balances = mall::readBalances(config, "uin=o1; skey=k");
    ASSERT_FALSE(balances.ok());
    EXPECT_EQ(balances.error().code, ErrorCode::BadAddress);
}

// Every line the exchange and the sign-in write, on success and on failure, is free of the
// session key: a log the user pastes into a forum must not hand over the account.
TEST(Secrets, SessionNeverReachesTheLog) {
    constexpr const char* kKey = "s3cret-session-key";
    for (const char* fault : {"", R"(, "faults": {"/": {"mode": "status_503"}})",
                              R"(, "faults": {"/": {"mode": "no_marker"}})"}) {
        auto server = portal::Server::start(std::string(R"({"sessions": {"10001": ")") + kKey +
                                            "\"}" + fault + "}");
        ASSERT_TRUE(server.ok());
        Config config = Config::defaults().withPortal((*server)->baseUrl());
        config.exchange.retryWindowMs = 500;
        const std::string cookies = std::string("uin=o10001; skey=") + kKey;
        test::LogCapture lines;
        auto run = mall::ExchangeRun::start({{&mall::items()[0]}, 5, web::oneAccount(cookies)},
                                            config, SystemClock::instance(), lines.sink());
        run->wait();
        signin::refreshStates(config, cookies, lines.sink(),
                              [](std::size_t, const std::string&) {});
        const auto balances = mall::readBalances(config, cookies);
        const std::string all = lines.text() + (balances.ok() ? "" : balances.error().message);
        EXPECT_EQ(all.find(kKey), std::string::npos) << fault;
        EXPECT_FALSE(all.empty());
    }
}

std::string runCli(const std::string& arguments) {
    return test::runCommand(std::string(VELLICOR_CLI) + " " + arguments + " 2>&1").out;
}

// Only `request` prints what it was asked to print; the other commands, on success and on
// failure, never echo the session they were given.
TEST(Secrets, CliCommandsNeverPrintTheSession) {
    constexpr const char* kKey = "cli-session-key-7";
    for (const char* fault : {"", R"(, "faults": {"/mall/record.php": {"mode": "status_503"},
                                          "/center2/": {"mode": "refuse"},
                                          "/mall/index.php": {"mode": "no_marker"}})"}) {
        auto server = portal::Server::start(std::string(R"({"sessions": {"10001": ")") + kKey +
                                            "\"}" + fault + "}");
        ASSERT_TRUE(server.ok());
        const std::string common =
            " --portal " + (*server)->baseUrl() + " --cookie 'uin=o10001; skey=" + kKey + "'";
        const std::pair<std::string, std::string> commands[] = {
            {"balances", "CF 游票: "},
            {"signin-status", "CF  "},
            {"exchange --items 选择框1 --threads 3", "兑换结束"},
        };
        for (const auto& [command, says] : commands) {
            const std::string out = runCli(command + common);
            if (*fault == '\0') {
                EXPECT_NE(out.find(says), std::string::npos) << command << ":\n" << out;
            }
            EXPECT_FALSE(out.empty()) << command;
            EXPECT_EQ(out.find(kKey), std::string::npos) << command << ":\n" << out;
        }
    }
}

// A proxy's password, in a setting that is refused or that leads nowhere, reaches no line of a
// run and no error text; the setting is named with "***" in its place.
TEST(Secrets, ProxyPasswordNeverShown) {
    constexpr const char* kPassword = "pr0xy-pa55";
    auto server = portal::Server::start(R"({"sessions": {"10001": "k"}})");
    ASSERT_TRUE(server.ok());
    struct Case {
        std::string setting;
        bool refused;
    };
    const Case cases[] = {
        {std::string("user:") + kPassword + "@127.0.0.1:9", false},  // nothing listens
        {std::string("user:") + kPassword + "@127.0.0.1", true},     // no port
        {std::string("user:") + kPassword + "%zz@127.0.0.1:9", true},
        {std::string("user:") + kPassword + "%0d%0a@127.0.0.1:9", true},
        {std::string("user:") + kPassword + "@no such host:80", true},
    };
    for (const auto& c : cases) {
        Config config = Config::defaults().withPortal((*server)->baseUrl());
        config.http.proxy = c.setting;
        config.exchange.retryWindowMs = 0;
        test::LogCapture lines;
        auto run = mall::ExchangeRun::start(
            {{&mall::items()[0]}, 3, web::oneAccount("uin=o10001; skey=k")}, config,
            SystemClock::instance(), lines.sink());
        run->wait();
        const auto reply =
            web::pageRequest({config.mall + "/", "GET", "", "", "", ""}, config.http);
        ASSERT_FALSE(reply.ok()) << c.setting;
        const std::string cli = runCli("request " + config.mall + "/ --proxy '" + c.setting + "'");
        const std::string all = lines.text() + reply.error().message + cli;
        EXPECT_FALSE(lines.text().empty());
        EXPECT_EQ(all.find(kPassword), std::string::npos) << c.setting << ":\n" << all;
        // A refused proxy is named: shown masked when it reads as an address, else by its field.
        if (c.refused) {
            const std::string& m = reply.error().message;
            EXPECT_TRUE(m.find("user:***@") != std::string::npos ||
                        m.find("http.proxy") != std::string::npos)
                << m;
        }
    }
}

}  // namespace
}  // namespace vellicor
