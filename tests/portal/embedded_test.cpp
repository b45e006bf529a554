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

// Run after run the simulator's record holds the newest requests only: a demo run's 44,000
// requests must not stay behind in it.
TEST(EmbeddedDefault, ItsRecordStaysBoundedAcrossRuns) {
    auto setup = startEmbedded({Config::defaults(), true});
    ASSERT_TRUE(setup.ok()) << setup.error().message;
    Server& server = *setup->server;
    const std::size_t perRun = kEmbeddedLogRecords + kEmbeddedLogRecords / 2;
    for (int run = 0; run < 3; ++run) {
        test::Connection connection(server.port());
        for (std::size_t i = 0; i < perRun; ++i) {
            const auto reply = connection.request("/mall/index.php?run=" + std::to_string(run) +
                                                  "&n=" + std::to_string(i));
            ASSERT_TRUE(reply.error.empty()) << reply.error;
        }
        const auto log = server.log();
        ASSERT_EQ(log.size(), kEmbeddedLogRecords) << "run " << run;
        EXPECT_EQ(log.back().target, "/mall/index.php?run=" + std::to_string(run) +
                                         "&n=" + std::to_string(perRun - 1));
        EXPECT_EQ(log.front().target, "/mall/index.php?run=" + std::to_string(run) +
                                          "&n=" + std::to_string(perRun - kEmbeddedLogRecords));
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
