// Several accounts in one run over HTTP/2: their requests share the wave's connection, and
// each stream carries its own account's session and no other's.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "doubles.h"
#include "front_end.h"
#include "h2_peer.h"
#include "mall/exchange_run.h"
#include "platform/codec.h"

namespace vellicor {
namespace {

namespace h2 = test::h2;

struct Seen {
    std::mutex mutex;
    std::map<std::string, int> byCookies;  // streams, by their cookie fields
    std::map<std::pair<std::string, std::string>, int> byCookiesAndPath;
    std::atomic<int> connections{0};
};

TEST(H2Accounts, EachStreamCarriesItsOwnAccountsSessionOnASharedConnection) {
    constexpr int kPerItem = 3;
    const std::vector<web::Account> accounts = {
        web::makeAccount("大号", "uin=o10001; skey=SECRET-1"),
        web::makeAccount("小号2", "uin=o10002; skey=SECRET-2"),
    };
    const std::size_t workers = accounts.size() * 2 * kPerItem;
    auto seen = std::make_shared<Seen>();
    test::H2Peer peer([seen, workers](test::PeerConnection& c) {
        ++seen->connections;
        c.send(h2::settings({{3, 100}}) + h2::settingsAck());
        std::string out;
        for (auto id : c.awaitRequests(workers)) {
            std::lock_guard lock(seen->mutex);
            ++seen->byCookies[c.cookies(id)];
            ++seen->byCookiesAndPath[{c.cookies(id), c.path(id)}];
            out += h2::reply(id, 200, utf8ToGbk("<p>差一点点就中奖了</p>").value());
        }
        c.send(out);
        while (c.readFrame()) {
        }
    });
    Config config = Config::defaults().withPortal(peer.url("/"));
    config.http.caFile = test::tlsCaFile();
    config.http.version = HttpVersion::Http2;
    config.exchange.maxConnectionsPerHost = 1;
    config.timer.preopenLeadMs = 600;
    test::LogCapture log;
    mall::RunPlan plan;
    plan.items = {&mall::items()[0], &mall::items()[1]};
    plan.perItem = kPerItem;
    plan.accounts = accounts;
    plan.namedAccounts = true;
    auto run = mall::ExchangeRun::start(plan, config, SystemClock::instance(), log.sink());
    run->wait();
    const mall::RunSummary summary = run->summary();
    // On the wave itself, not a fallback to HTTP/1.1.
    EXPECT_EQ(log.text().find("改用"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("[改名] 小号2 #3"), std::string::npos) << log.text();
    ASSERT_EQ(summary.accounts.size(), 2u);
    EXPECT_EQ(summary.accounts[0].count(mall::OutcomeKind::LotteryLoss), 2 * kPerItem);
    EXPECT_EQ(summary.accounts[1].count(mall::OutcomeKind::LotteryLoss), 2 * kPerItem);
    EXPECT_EQ(seen->connections.load(), 1);
    std::lock_guard lock(seen->mutex);
    const std::map<std::string, int> expected = {{accounts[0].cookies, 2 * kPerItem},
                                                 {accounts[1].cookies, 2 * kPerItem}};
    EXPECT_EQ(seen->byCookies, expected);
    for (const auto& [key, n] : seen->byCookiesAndPath) {
        EXPECT_EQ(n, kPerItem) << key.first << " " << key.second;
    }
}

}  // namespace
}  // namespace vellicor
