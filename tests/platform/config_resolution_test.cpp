// Which configuration a front end runs with, from --config and --portal.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/config_resolution.h"

namespace vellicor {
namespace {

TEST(ConfigResolution, ChoosesWhereThePortalIs) {
    const std::string ini = ::testing::TempDir() + "/config_resolution.ini";
    std::ofstream(ini) << "[portal]\nmall = http://mall.example.test\n[publisher]\nthread = 42\n";
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
}

TEST(ConfigResolution, ABadAddressIsNamedInTheError) {
    auto resolved = resolveConfig("", "ftp://127.0.0.1");
    ASSERT_FALSE(resolved.ok());
    EXPECT_EQ(resolved.error().code, ErrorCode::BadAddress);
    EXPECT_NE(resolved.error().message.find("ftp://127.0.0.1"), std::string::npos);
}

}  // namespace
}  // namespace vellicor
