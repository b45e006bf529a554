#include "mall/catalogue.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

namespace vellicor::mall {
namespace {

// Ids are keys users write into scripts and scenarios: each is unique, plain lower-case
// ASCII and begins with its game's tag, and its item's exchange target belongs to that game.
TEST(Catalogue, IdsAreUniqueSlugsOfTheirGame) {
    std::set<std::string_view> ids;
    std::set<std::int64_t> propsids;
    for (const Item& item : items()) {
        const std::string id(item.id);
        EXPECT_TRUE(ids.insert(item.id).second) << id;
        EXPECT_TRUE(propsids.insert(item.target.propsid).second) << id;
        EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-"), std::string::npos)
            << id;
        std::string tag(gameOf(item).tag);
        for (char& c : tag) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(id.rfind(tag + "-", 0), 0u) << id;
        EXPECT_EQ(item.target.gid, gameOf(item).gid) << id;
        EXPECT_EQ(item.lottery, item.target.way == 2) << id;
        EXPECT_FALSE(item.caption.empty()) << id;
    }
}

// A few ids and old names pinned: scripts written against them keep buying the same thing.
TEST(Catalogue, PinnedIdsAndOldNames) {
    struct Case {
        std::string_view id;
        std::string_view oldName;
        std::int64_t propsid;
    };
    const Case cases[] = {
        {"cf-rename", "选择框1", 1397711761},
        {"cf-smoke-goggles-draw", "选择框6", 1399626984},
        {"lol-mecha-rumble", "选择框7", 1398656551},
        {"speed-fruit-plate", "选择框32", 1397992260},
        {"nz-famas-3d", "选择框43", 1397812892},
        {"nz-xp-boost-5d", "选择框45", 1397812983},
    };
    for (const Case& c : cases) {
        const Item* item = findItem(c.id);
        ASSERT_NE(item, nullptr) << c.id;
        EXPECT_EQ(item->target.propsid, c.propsid) << c.id;
        EXPECT_EQ(findItemByOldName(c.oldName), item) << c.oldName;
    }
    for (std::string_view name : {"选择框0", "选择框46", "选择框01", "选择框", "选择框1x", "1"}) {
        EXPECT_EQ(findItemByOldName(name), nullptr) << name;
    }
    EXPECT_EQ(findItem("选择框1"), nullptr);  // an old name is no id
}

TEST(Catalogue, ExchangeAddressKeepsKeyOrder) {
    EXPECT_EQ(
        exchangePath(findItem("cf-rename")->target),
        "/mall/index.php?op=exchangeing&gid=2&type=2&propsid=1397711761&way=1&g_tk=1093847265");
    EXPECT_EQ(exchangeAddress("http://127.0.0.1:8080/", findItem("cf-smoke-goggles-draw")->target),
              "http://127.0.0.1:8080/mall/index.php?op=exchangeing&gid=2&type=2&propsid=1399626984"
              "&way=2&g_tk=730418526");
}

// What `--items` and the window's ticked boxes go through: ids, old names or both, taken in
// catalogue order and once each; anything unknown or not on offer refuses the whole choice
// and names what it refused.
TEST(Selection, IdsAndOldNames) {
    struct Case {
        std::vector<std::string> names;
        std::vector<std::string_view> ids;  // what is taken
        const char* refused;                // nullptr: taken; else the error names it
    };
    const std::vector<Case> cases{
        {{}, {}, nullptr},
        {{"cf-smoke-goggles-draw", "cf-rename"}, {"cf-rename", "cf-smoke-goggles-draw"}, nullptr},
        {{"选择框6", "选择框1"}, {"cf-rename", "cf-smoke-goggles-draw"}, nullptr},
        {{"nz-xp-boost-5d", "选择框23"}, {"dnf-server-horn", "nz-xp-boost-5d"}, nullptr},
        {{"选择框1", "cf-rename", "选择框1"}, {"cf-rename"}, nullptr},
        {{"cf-rename", "nz-famas-9d"}, {}, "nz-famas-9d"},
        {{"选择框46"}, {}, "选择框46"},
        {{"cf-rename", ""}, {}, "没有这个商品"},
        {{"CF-RENAME"}, {}, "CF-RENAME"},
        {{"speed-fruit-plate"}, {}, "水果拼盘"},
        {{"选择框32"}, {}, "暂不可兑换"},
    };
    for (const auto& c : cases) {
        const std::string label = c.names.empty() ? "(none)" : c.names.back();
        auto got = selectItems(c.names);
        ASSERT_EQ(got.ok(), c.refused == nullptr) << label;
        if (!got.ok()) {
            EXPECT_NE(got.error().message.find(c.refused), std::string::npos)
                << got.error().message;
            continue;
        }
        std::vector<std::string_view> ids;
        for (const Item* item : *got) {
            ids.push_back(item->id);
        }
        EXPECT_EQ(ids, c.ids) << label;
    }
}

}  // namespace
}  // namespace vellicor::mall
