#include "mall/catalogue.h"

#include <algorithm>
#include <array>

namespace vellicor::mall {
namespace {

constexpr std::string_view kCfToken = "1093847265";
constexpr std::string_view kToken = "730418526";

// LOL trades under gid 26 and DNF under gid 1; the sign-in follows this table too.
constexpr std::array<Game, 7> kGames{{
    {"CF", "穿越火线", "CF(穿越火线)", 2},
    {"LOL", "英雄联盟", "LOL(英雄联盟)", 26},
    {"BNS", "剑灵", "BNS(剑灵)", 61},
    {"DNF", "地下城与勇士", "DNF(地下城与勇士)", 1},
    {"Speed", "QQ飞车", "Speed(QQ飞车)", 17},
    {"X5", "QQ炫舞", "X5(QQ炫舞)", 10},
    {"NZ", "逆战", "NZ(逆战)", 40},
}};

constexpr int CF = 0, LOL = 1, BNS = 2, DNF = 3, SPEED = 4, X5 = 5, NZ = 6;

constexpr ExchangeTarget direct(int gid, std::int64_t propsid) {
    return {gid, propsid, 1, kToken};
}
constexpr ExchangeTarget draw(int gid, std::int64_t propsid) {
    return {gid, propsid, 2, kToken};
}

// Ids are the items' keys for good: the CLI's `--items`, the window's form and the simulator
// know an item by it, so an id is never changed or given again. Items keep this order, new
// ones at the end: scripts written before ids name the items "选择框N", the Nth here.
// In CF the two lottery items draw, and the rename card carries a token of its own.
constexpr std::array<Item, 45> kItems{{
    {"cf-rename", CF, "改名", false, true, {2, 1397711761, 1, kCfToken}},
    {"cf-flash-goggles-draw", CF, "闪光护目镜(抽奖)", true, true, draw(2, 1399628570)},
    {"cf-body-armour", CF, "防弹衣", false, true, direct(2, 1399626483)},
    {"cf-points-100", CF, "点卷 100点", false, true, direct(2, 1399625298)},
    {"cf-c4-kit", CF, "C4工具包", false, true, direct(2, 1399626068)},
    {"cf-smoke-goggles-draw", CF, "烟雾头(抽奖)", true, true, draw(2, 1399626984)},
    {"lol-mecha-rumble", LOL, "银河魔装机神兰博 (永久)", false, true, direct(26, 1398656551)},
    {"lol-double-gold-3d", LOL, "双倍金币卡（3日）", false, true, direct(26, 1398169633)},
    {"lol-double-gold-1d", LOL, "双倍金币卡（1日）", false, true, direct(26, 1398170686)},
    {"lol-win-gold-10", LOL, "胜利金币卡（10胜）", false, true, direct(26, 1398170492)},
    {"lol-double-xp-1d", LOL, "双倍经验卡（1日）", false, true, direct(26, 1398079016)},
    {"lol-bunny-riven", LOL, "兔女郎锐雯（永久）", false, true, direct(26, 1398077502)},
    {"lol-velkoz", LOL, "虚空之眼维克兹（永久）", false, true, direct(26, 1398077325)},
    {"lol-white-varus", LOL, "白色死神韦鲁斯（永久）", false, true, direct(26, 1397186157)},
    {"bns-revival-charm", BNS, "九转还魂符（自用）", false, true, direct(61, 1398076983)},
    {"bns-silver-snake", BNS, "银蛇（永久）", false, true, direct(61, 1397705006)},
    {"bns-forge-hammer", BNS, "百炼锤", false, true, direct(61, 1398170287)},
    {"bns-soothing-soup", BNS, "舒筋活络汤", false, true, direct(61, 1398170081)},
    {"bns-spring-outfit", BNS, "春意盎然（永久）", false, true, direct(61, 1398076461)},
    {"bns-dark-outfit", BNS, "黑天照之殇（永久）", false, true, direct(61, 1398076218)},
    {"bns-member-30d", BNS, "剑灵月度会员（30天）", false, true, direct(61, 1398076793)},
    {"bns-dragon-pouch", BNS, "神龙工商袋", false, true, direct(61, 1398075541)},
    {"dnf-server-horn", DNF, "服务器喇叭", false, true, direct(1, 1397727758)},
    {"dnf-holy-water", DNF, "净化圣水", false, true, direct(1, 1397727863)},
    {"dnf-revive-coin", DNF, "复活币", false, true, direct(1, 1397727338)},
    {"dnf-avatar-synth", DNF, "装扮合成器", false, true, direct(1, 1397727419)},
    {"dnf-channel-horn", DNF, "频道喇叭", false, true, direct(1, 1397727682)},
    {"dnf-grade-box-10", DNF, "装备品级调整箱(10)", false, true, direct(1, 1397034651)},
    {"dnf-winter-box-small", DNF, "雪隐之冬礼盒（小）", false, true, direct(1, 1397034754)},
    {"dnf-weapon-rune", DNF, "武器特效符文", false, true, direct(1, 1397036743)},
    {"speed-points-100", SPEED, "点券 100点", false, true, direct(17, 1399710258)},
    {"speed-fruit-plate", SPEED, "水果拼盘", false, false, direct(17, 1397992260)},
    {"speed-fairy-yuno", SPEED, "魔法精灵尤诺 永久", false, true, direct(17, 1399710924)},
    {"speed-fairy-naiye", SPEED, "魔法精灵奈叶 永久", false, true, direct(17, 1399710708)},
    {"speed-royal-gem", SPEED, "皇权宝石", false, true, direct(17, 1397991827)},
    {"x5-rename", X5, "改名道具", false, true, direct(10, 1398057349)},
    {"x5-shells-500", X5, "绚贝（500）", false, true, direct(10, 1398059157)},
    {"x5-chrysanthemum", X5, "重阳菊花", false, true, direct(10, 1398057640)},
    {"x5-pet-revive", X5, "宠物苏生剂", false, true, direct(10, 1398058701)},
    {"x5-pet-arena-5", X5, "宠物竞技券(5)", false, true, direct(10, 1398058204)},
    {"nz-type95-5d", NZ, "特种95式（5天）", false, true, direct(40, 1397812740)},
    {"nz-scar-5d", NZ, "SCAR-朱雀（5天）", false, true, direct(40, 1398159502)},
    {"nz-famas-3d", NZ, "战地FAMAS（3天）", false, true, direct(40, 1397812892)},
    {"nz-wa2000-5d", NZ, "WA2000（5天）", false, true, direct(40, 1398159262)},
    {"nz-xp-boost-5d", NZ, "普通经验加成卡(5天)", false, true, direct(40, 1397812983)},
}};

}  // namespace

std::span<const Game> games() {
    return kGames;
}
std::span<const Item> items() {
    return kItems;
}

const Game& gameOf(const Item& item) {
    return kGames.at(static_cast<std::size_t>(item.game));
}

const Game* findGame(std::string_view tag) {
    auto it =
        std::find_if(kGames.begin(), kGames.end(), [&](const Game& g) { return g.tag == tag; });
    return it == kGames.end() ? nullptr : &*it;
}

const Item* findItem(std::string_view id) {
    auto it = std::find_if(kItems.begin(), kItems.end(), [&](const Item& i) { return i.id == id; });
    return it == kItems.end() ? nullptr : &*it;
}

const Item* findItemByOldName(std::string_view name) {
    constexpr std::string_view kPrefix = "选择框";
    if (!name.starts_with(kPrefix)) {
        return nullptr;
    }
    name.remove_prefix(kPrefix.size());
    if (name.empty() || name.size() > 2 || name.front() == '0' ||
        name.find_first_not_of("0123456789") != std::string_view::npos) {
        return nullptr;
    }
    std::size_t n = 0;
    for (char digit : name) {
        n = n * 10 + static_cast<std::size_t>(digit - '0');
    }
    return n <= kItems.size() ? &kItems[n - 1] : nullptr;
}

Result<std::vector<const Item*>> selectItems(const std::vector<std::string>& names) {
    std::vector<bool> chosen(kItems.size(), false);
    for (const auto& name : names) {
        const Item* item = findItem(name);
        if (item == nullptr) {
            item = findItemByOldName(name);
        }
        if (item == nullptr) {
            return makeError(ErrorCode::BadInput, "没有这个商品：" + name);
        }
        if (!item->enabled) {
            return makeError(ErrorCode::BadInput,
                             name + "（" + std::string(item->caption) + "）暂不可兑换，不能勾选");
        }
        chosen[static_cast<std::size_t>(item - kItems.data())] = true;
    }
    std::vector<const Item*> out;
    for (std::size_t i = 0; i < kItems.size(); ++i) {
        if (chosen[i]) {
            out.push_back(&kItems[i]);
        }
    }
    return out;
}

std::string exchangePath(const ExchangeTarget& target) {
    return "/mall/index.php?op=exchangeing&gid=" + std::to_string(target.gid) +
           "&type=2&propsid=" + std::to_string(target.propsid) +
           "&way=" + std::to_string(target.way) + "&g_tk=" + std::string(target.token);
}

std::string exchangeAddress(std::string_view mallBase, const ExchangeTarget& target) {
    while (!mallBase.empty() && mallBase.back() == '/') {
        mallBase.remove_suffix(1);
    }
    return std::string(mallBase) + exchangePath(target);
}

}  // namespace vellicor::mall
