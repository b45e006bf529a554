#include "mall/send_way.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor::mall {
namespace {

// A worker that cannot have the first way falls back to libcurl's transfers at send time;
// this is only the way tried first, and a wrong one sends a whole run the wrong way.
TEST(FirstWay, FollowsTheSettings) {
    struct Case {
        const char* name;
        std::string mall;
        HttpVersion version;
        long leadMs;
        WayFacts facts;
        SendWay way;
    };
    const WayFacts usual{10, true, true};
    const std::vector<Case> cases{
        {"plain mall", "http://mall.test", HttpVersion::Auto, 3000, usual, SendWay::Connections},
        {"TLS offers HTTP/2", "https://mall.test", HttpVersion::Auto, 3000, usual, SendWay::Wave},
        {"HTTP/2 asked of a plain mall", "http://mall.test:8080", HttpVersion::Http2, 3000, usual,
         SendWay::Wave},
        {"HTTP/1.1 asked over TLS", "https://mall.test", HttpVersion::Http1_1, 3000, usual,
         SendWay::Connections},
        {"nothing opened ahead", "https://mall.test", HttpVersion::Auto, 0, usual,
         SendWay::Transfers},
        {"no worker left to send", "http://mall.test", HttpVersion::Auto, 3000,
         WayFacts{0, true, true}, SendWay::Transfers},
        {"a request not written out", "https://mall.test", HttpVersion::Auto, 3000,
         WayFacts{10, false, true}, SendWay::Transfers},
        {"no HTTP/2 fields", "https://mall.test", HttpVersion::Http2, 3000,
         WayFacts{10, true, false}, SendWay::Connections},
        {"no address", "mall.test", HttpVersion::Auto, 3000, usual, SendWay::Transfers},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Config config = Config::defaults();
        config.mall = c.mall;
        config.http.version = c.version;
        config.timer.preopenLeadMs = c.leadMs;
        EXPECT_EQ(firstWay(config, c.facts), c.way);
    }
}

}  // namespace
}  // namespace vellicor::mall
