// Which configuration a front end runs with, from --config and --portal.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/config_resolution.h"

namespace vellicor {
namespace {

TEST(ConfigResolution, ChoosesWhereThePortalIs) {
    const std::string ini = ::testing::TempDir() + "/config_resolution.ini";
    std::ofstream(ini) << "[portal]\nmall = http://mall.example.test\n[publisher]\nthread = 42\n";
    // Tuning alone, and a host written as the placeholder it already is: no portal named.
    const std::string tuning = ::testing::TempDir() + "/config_resolution_tuning.ini";
    std::ofstream(tuning) << "[portal]\nforum = http://forum.portal.invalid\n[publisher]\n"
                             "thread = 43\n[http]\nconnect_timeout_ms = 1500\n";
    const Config defaults = Config::defaults();
    struct Case {
        const char* what;
        std::string config;
        std::string portal;
        bool ok;
        bool wantsEmbedded;
        std::string mall;
        std::string accountLogin;
        long thread;
    };
    const Case cases[] = {
        {"neither: the embedded default", "", "", true, true, defaults.mall, defaults.accountLogin,
         206311},
        {"portal address only", "", "http://127.0.0.1:1/", true, false, "http://127.0.0.1:1",
         "http://127.0.0.1:1", 206311},
        {"file only", ini, "", true, false, "http://mall.example.test", defaults.accountLogin, 42},
        {"file naming no host: the embedded default", tuning, "", true, true, defaults.mall,
         defaults.accountLogin, 43},
        {"file naming no host, and a portal", tuning, "http://127.0.0.1:3", true, false,
         "http://127.0.0.1:3", "http://127.0.0.1:3", 43},
        {"file and portal", ini, "https://127.0.0.1:2", true, false, "https://127.0.0.1:2",
         "https://127.0.0.1:2", 42},
        {"missing file", "/nonexistent.ini", "", false, false, "", "", 0},
        {"address with a path", "", "http://127.0.0.1:1/mall", false, false, "", "", 0},
        {"address with a query", "", "http://127.0.0.1:1?x", false, false, "", "", 0},
        {"address with a user", "", "http://u@127.0.0.1:1", false, false, "", "", 0},
        {"address with a space", "", "http://127.0.0.1 :1", false, false, "", "", 0},
        {"scheme alone", "", "https://", false, false, "", "", 0},
        {"not an address", "", "ftp://127.0.0.1", false, false, "", "", 0},
    };
    for (const auto& c : cases) {
        auto resolved = resolveConfig(c.config, c.portal);
        ASSERT_EQ(resolved.ok(), c.ok) << c.what;
        if (!c.ok) {
            continue;
        }
        EXPECT_EQ(resolved->wantsEmbedded, c.wantsEmbedded) << c.what;
        EXPECT_EQ(resolved->config.mall, c.mall) << c.what;
        EXPECT_EQ(resolved->config.accountLogin, c.accountLogin) << c.what;
        EXPECT_EQ(resolved->config.forumPost, c.thread) << c.what;
    }
    auto tuned = resolveConfig(tuning, "");
    ASSERT_TRUE(tuned.ok());
    EXPECT_EQ(tuned->config.http.connectTimeoutMs, 1500) << "the file's tuning is kept";
}

// What a file that names some hosts has yet to set, by the keys the user writes.
TEST(ConfigResolution, NamesThePortalKeysLeftUnset) {
    const Config defaults = Config::defaults();
    Config some = defaults;
    some.mall = "https://mall.example.test";
    some.accountLogin = "https://login.example.test:8443";
    Config lookalike = defaults.withPortal("http://127.0.0.1:1");
    lookalike.image = "http://invalid.example.test";  // "invalid" as a name, not the domain
    lookalike.forum = "http://forum.invalid:8080";
    struct Case {
        const char* what;
        Config config;
        std::vector<std::string> unset;
    };
    const Case cases[] = {
        {"the defaults",
         defaults,
         {"mall", "quick_login", "account_login", "image", "forum", "download"}},
        {"two named", some, {"quick_login", "image", "forum", "download"}},
        {"one placeholder with a port", lookalike, {"forum"}},
        {"every host named", defaults.withPortal("http://127.0.0.1:1"), {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unsetPortalKeys(c.config), c.unset) << c.what;
    }
}

TEST(ConfigResolution, ABadAddressIsNamedInTheError) {
    auto resolved = resolveConfig("", "ftp://127.0.0.1");
    ASSERT_FALSE(resolved.ok());
    EXPECT_EQ(resolved.error().code, ErrorCode::BadAddress);
    EXPECT_NE(resolved.error().message.find("ftp://127.0.0.1"), std::string::npos);
}

}  // namespace
}  // namespace vellicor
