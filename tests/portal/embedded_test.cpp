// The embedded default: which configuration the tool runs with, and the demo login over it.
#include <gtest/gtest.h>

#include <fstream>

#include "client.h"
#include "portal/embedded.h"

namespace vellicor::portal {
namespace {

TEST(EmbeddedDefault, ChoosesWhereThePortalIs) {
    const std::string ini = ::testing::TempDir() + "/portal_embedded.ini";
    std::ofstream(ini) << "[portal]\nmall = http://mall.example.test\n[publisher]\nthread = 42\n";
    struct Case {
        const char* what;
        std::string config;
        std::string portal;
        bool ok;
        bool startsServer;
        std::string mall;  // expected, "*" for the started server's address
        long thread;
    };
    const Case cases[] = {
        {"neither: the simulator in-process", "", "", true, true, "*", 206311},
        {"portal address only", "", "http://127.0.0.1:1/", true, false, "http://127.0.0.1:1",
         206311},
        {"file only", ini, "", true, false, "http://mall.example.test", 42},
        {"file and portal", ini, "https://127.0.0.1:2", true, false, "https://127.0.0.1:2", 42},
        {"missing file", "/nonexistent.ini", "", false, false, "", 0},
        {"address with a path", "", "http://127.0.0.1:1/mall", false, false, "", 0},
        {"not an address", "", "ftp://127.0.0.1", false, false, "", 0},
    };
    for (const auto& c : cases) {
        auto setup = resolvePortal(c.config, c.portal);
        ASSERT_EQ(setup.ok(), c.ok) << c.what;
        if (!c.ok) {
            continue;
        }
        EXPECT_EQ(setup->server != nullptr, c.startsServer) << c.what;
        const std::string mall = c.mall == "*" ? setup->server->baseUrl() : c.mall;
        EXPECT_EQ(setup->config.mall, mall) << c.what;
        if (!c.portal.empty() || c.startsServer) {
            EXPECT_EQ(setup->config.accountLogin, mall) << c.what;
        }
        EXPECT_EQ(setup->config.forumThread, c.thread) << c.what;
    }
}

TEST(EmbeddedDefault, DemoLoginGivesAWorkingSession) {
    auto setup = resolvePortal("", "");
    ASSERT_TRUE(setup.ok()) << setup.error().message;
    auto cookie = demoLogin(setup->config);
    ASSERT_TRUE(cookie.ok()) << cookie.error().message;
    EXPECT_TRUE(cookie->starts_with("uin=o10001; skey=@")) << *cookie;
    const auto record = test::fetch(setup->server->port(), "/mall/record.php", *cookie);
    EXPECT_NE(record.text.find("穿越火线</td><td><span class=\"tickete\">500</span>"),
              std::string::npos);

    ASSERT_TRUE(setup->server->setScenario(R"({"accounts": []})").ok());
    EXPECT_FALSE(demoLogin(setup->config).ok());
}

}  // namespace
}  // namespace vellicor::portal
