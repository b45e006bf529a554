// The embedded default: the simulator started in-process, and the demo login over it.
#include <gtest/gtest.h>

#include "client.h"
#include "portal/embedded.h"

namespace vellicor::portal {
namespace {

TEST(EmbeddedDefault, StartsTheSimulatorOnlyWhenWanted) {
    const Config given = Config::defaults().withPortal("http://127.0.0.1:1");
    struct Case {
        const char* what;
        bool wanted;
    };
    const Case cases[] = {{"wanted: every host on the simulator", true},
                          {"not wanted: the configuration as given", false}};
    for (const auto& c : cases) {
        auto setup = startEmbedded({given, c.wanted});
        ASSERT_TRUE(setup.ok()) << c.what << ": " << setup.error().message;
        ASSERT_EQ(setup->server != nullptr, c.wanted) << c.what;
        const std::string base = c.wanted ? setup->server->baseUrl() : given.mall;
        EXPECT_EQ(setup->config.mall, base) << c.what;
        EXPECT_EQ(setup->config.accountLogin, base) << c.what;
        EXPECT_EQ(setup->config.forumPost, given.forumPost) << c.what;
    }
}

TEST(EmbeddedDefault, DemoLoginGivesAWorkingSession) {
    auto setup = startEmbedded({Config::defaults(), true});
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
