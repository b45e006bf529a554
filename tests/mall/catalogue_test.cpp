#include "mall/catalogue.h"
#include "portal/scenario.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace vellicor::mall {
namespace {

TEST(Catalogue, GamesAndTargetsPairOneToOne) {
    const std::map<std::string_view, std::size_t> expected{
        {"CF", 6}, {"LOL", 8}, {"BNS", 8}, {"DNF", 8}, {"Speed", 5}, {"X5", 5}, {"NZ", 5}};
    std::map<std::string_view, std::size_t> perGame;
    std::set<std::int64_t> propsids;
    std::set<int> gids;
    for (const Game& g : games()) {
        gids.insert(g.gid);
    }
    for (const Item& item : items()) {
        const Game& g = gameOf(item);
        ++perGame[g.tag];
        EXPECT_EQ(item.target.gid, g.gid) << item.checkBox;
        EXPECT_TRUE(propsids.insert(item.target.propsid).second) << item.checkBox;
        EXPECT_GE(item.target.propsid, 1000000000);
        EXPECT_LE(item.target.propsid, 9999999999);
    }
    EXPECT_EQ(perGame, expected);
    EXPECT_EQ(items().size(), 45u);
    EXPECT_EQ(gids, (std::set<int>{1, 2, 10, 17, 26, 40, 61}));
    EXPECT_EQ(findGame("LOL")->gid, 26);
    EXPECT_EQ(findGame("DNF")->gid, 1);
}

TEST(Catalogue, BoxesRunInGroupOrderAndRowsArePermutations) {
    int number = 1;
    std::map<int, std::set<int>> rows;
    for (const Item& item : items()) {
        EXPECT_EQ(item.checkBox, "选择框" + std::to_string(number++));
        rows[item.game].insert(item.row);
    }
    for (const auto& [game, set] : rows) {
        EXPECT_EQ(*set.begin(), 1);
        EXPECT_EQ(static_cast<std::size_t>(*set.rbegin()), set.size()) << game;
    }
    EXPECT_EQ(findItem("选择框2")->row, 6);
    EXPECT_EQ(findItem("选择框6")->row, 5);
}

TEST(Catalogue, OnlyTheRedCfBoxesDraw) {
    for (const Item& item : items()) {
        const bool red = item.checkBox == "选择框2" || item.checkBox == "选择框6";
        EXPECT_EQ(item.lottery, red) << item.checkBox;
        EXPECT_EQ(item.target.way, red ? 2 : 1) << item.checkBox;
    }
    EXPECT_EQ(findItem("选择框6")->caption, "烟雾头(抽奖)");
}

// The tool's catalogue and the mall's own item table (the simulator's) name the same 45
// targets: gid, way, token and caption of each propsid agree.
TEST(Catalogue, EveryTargetIsOneTheMallSells) {
    std::set<std::int64_t> seen;
    for (const Item& item : items()) {
        const portal::CatalogueItem* sold = portal::findItem(item.target.propsid);
        ASSERT_NE(sold, nullptr) << item.checkBox;
        EXPECT_EQ(sold->gid, item.target.gid) << item.checkBox;
        EXPECT_EQ(sold->way, item.target.way) << item.checkBox;
        EXPECT_EQ(std::string_view(sold->token), item.target.token) << item.checkBox;
        EXPECT_EQ(std::string_view(sold->caption), item.caption) << item.checkBox;
        seen.insert(item.target.propsid);
    }
    EXPECT_EQ(seen.size(), portal::catalogue().size());
}

TEST(Catalogue, OneTargetCarriesItsOwnToken) {
    int special = 0;
    for (const Item& item : items()) {
        if (item.target.token == "1093847265") {
            ++special;
            EXPECT_EQ(item.checkBox, "选择框1");
        } else {
            EXPECT_EQ(item.target.token, "730418526") << item.checkBox;
        }
    }
    EXPECT_EQ(special, 1);
}

TEST(Catalogue, OnlyBox32StartsDisabled) {
    for (const Item& item : items()) {
        EXPECT_EQ(item.enabled, item.checkBox != "选择框32") << item.checkBox;
    }
    EXPECT_EQ(findItem("选择框32")->caption, "水果拼盘");
}

TEST(Catalogue, CaptionsKeepTheirOwnCharacters) {
    EXPECT_EQ(findItem("选择框4")->caption, "点卷 100点");
    EXPECT_EQ(findItem("选择框31")->caption, "点券 100点");
    EXPECT_EQ(findItem("选择框8")->caption, "双倍金币卡（3日）");
    EXPECT_EQ(findGame("Speed")->caption, "Speed(QQ飞车)");
}

TEST(Catalogue, ExchangeAddressKeepsKeyOrder) {
    const Item* first = findItem("选择框1");
    EXPECT_EQ(
        exchangePath(first->target),
        "/mall/index.php?op=exchangeing&gid=2&type=2&propsid=1397711761&way=1&g_tk=1093847265");
    EXPECT_EQ(exchangeAddress("http://127.0.0.1:8080/", findItem("选择框6")->target),
              "http://127.0.0.1:8080/mall/index.php?op=exchangeing&gid=2&type=2&propsid=1399626984"
              "&way=2&g_tk=730418526");
}

TEST(Selection, TickedNames) {
    struct Case {
        std::vector<std::string> ticked;
        std::vector<std::string_view> boxes;  // empty with ok=false means refused
        bool ok;
    };
    const std::vector<Case> cases{
        {{}, {}, true},
        {{"选择框6", "选择框1"}, {"选择框1", "选择框6"}, true},
        {{"选择框2", "选择框6", "选择框2"}, {"选择框2", "选择框6"}, true},
        {{"选择框45", "选择框23"}, {"选择框23", "选择框45"}, true},
        {{"选择框46"}, {}, false},
        {{"选择框1", ""}, {}, false},
        {{"选择框32"}, {}, false},
    };
    for (const auto& c : cases) {
        auto got = selectItems(c.ticked);
        ASSERT_EQ(got.ok(), c.ok) << (c.ticked.empty() ? "" : c.ticked[0]);
        if (!c.ok) {
            EXPECT_FALSE(got.error().message.empty());
            continue;
        }
        std::vector<std::string_view> boxes;
        for (const Item* item : *got) {
            boxes.push_back(item->checkBox);
        }
        EXPECT_EQ(boxes, c.boxes);
    }
}

TEST(Selection, NoOtherGameSelectsADraw) {
    std::vector<std::string> all;
    for (const Item& item : items()) {
        if (item.enabled && item.game != 0) {
            all.emplace_back(item.checkBox);
        }
    }
    auto got = selectItems(all);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got->size(), 38u);
    for (const Item* item : *got) {
        EXPECT_EQ(item->target.way, 1);
    }
}

}  // namespace
}  // namespace vellicor::mall
