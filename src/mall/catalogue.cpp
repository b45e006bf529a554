#include "mall/catalogue.h"

#include <algorithm>
#include <array>

namespace vellicor::mall {
namespace {

constexpr std::string_view kCfToken = "1093847265";
constexpr std::string_view kToken = "730418526";

// LOL trades under gid 26 and DNF under gid 1; the sign-in follows this table too.
constexpr std::array<Game, 7> kGames{{
    {"CF", "穿越火线", "分组框1", "CF(穿越火线)", 2},
    {"LOL", "英雄联盟", "分组框2", "LOL(英雄联盟)", 26},
    {"BNS", "剑灵", "分组框3", "BNS(剑灵)", 61},
    {"DNF", "地下城与勇士", "分组框4", "DNF(地下城与勇士)", 1},
    {"Speed", "QQ飞车", "分组框5", "Speed(QQ飞车)", 17},
    {"X5", "QQ炫舞", "分组框6", "X5(QQ炫舞)", 10},
    {"NZ", "逆战", "分组框7", "NZ(逆战)", 40},
}};

constexpr int CF = 0, LOL = 1, BNS = 2, DNF = 3, SPEED = 4, X5 = 5, NZ = 6;

constexpr ExchangeTarget direct(int gid, std::int64_t propsid) {
    return {gid, propsid, 1, kToken};
}
constexpr ExchangeTarget draw(int gid, std::int64_t propsid) {
    return {gid, propsid, 2, kToken};
}

// Check boxes take their game's targets in order, except in CF, where the two red lottery
// boxes take the two draw targets and `选择框1` the target with its own token.
constexpr std::array<Item, 45> kItems{{
    {"选择框1", CF, "改名", false, true, 1, {2, 1397711761, 1, kCfToken}},
    {"选择框2", CF, "闪光护目镜(抽奖)", true, true, 6, draw(2, 1399628570)},
    {"选择框3", CF, "防弹衣", false, true, 2, direct(2, 1399626483)},
    {"选择框4", CF, "点卷 100点", false, true, 3, direct(2, 1399625298)},
    {"选择框5", CF, "C4工具包", false, true, 4, direct(2, 1399626068)},
    {"选择框6", CF, "烟雾头(抽奖)", true, true, 5, draw(2, 1399626984)},
    {"选择框7", LOL, "银河魔装机神兰博 (永久)", false, true, 1, direct(26, 1398656551)},
    {"选择框8", LOL, "双倍金币卡（3日）", false, true, 2, direct(26, 1398169633)},
    {"选择框9", LOL, "双倍金币卡（1日）", false, true, 3, direct(26, 1398170686)},
    {"选择框10", LOL, "胜利金币卡（10胜）", false, true, 4, direct(26, 1398170492)},
    {"选择框11", LOL, "双倍经验卡（1日）", false, true, 5, direct(26, 1398079016)},
    {"选择框12", LOL, "兔女郎锐雯（永久）", false, true, 6, direct(26, 1398077502)},
    {"选择框13", LOL, "虚空之眼维克兹（永久）", false, true, 7, direct(26, 1398077325)},
    {"选择框14", LOL, "白色死神韦鲁斯（永久）", false, true, 8, direct(26, 1397186157)},
    {"选择框15", BNS, "九转还魂符（自用）", false, true, 1, direct(61, 1398076983)},
    {"选择框16", BNS, "银蛇（永久）", false, true, 2, direct(61, 1397705006)},
    {"选择框17", BNS, "百炼锤", false, true, 3, direct(61, 1398170287)},
    {"选择框18", BNS, "舒筋活络汤", false, true, 4, direct(61, 1398170081)},
    {"选择框19", BNS, "春意盎然（永久）", false, true, 5, direct(61, 1398076461)},
    {"选择框20", BNS, "黑天照之殇（永久）", false, true, 6, direct(61, 1398076218)},
    {"选择框21", BNS, "剑灵月度会员（30天）", false, true, 7, direct(61, 1398076793)},
    {"选择框22", BNS, "神龙工商袋", false, true, 8, direct(61, 1398075541)},
    {"选择框23", DNF, "服务器喇叭", false, true, 1, direct(1, 1397727758)},
    {"选择框24", DNF, "净化圣水", false, true, 2, direct(1, 1397727863)},
    {"选择框25", DNF, "复活币", false, true, 3, direct(1, 1397727338)},
    {"选择框26", DNF, "装扮合成器", false, true, 4, direct(1, 1397727419)},
    {"选择框27", DNF, "频道喇叭", false, true, 5, direct(1, 1397727682)},
    {"选择框28", DNF, "装备品级调整箱(10)", false, true, 6, direct(1, 1397034651)},
    {"选择框29", DNF, "雪隐之冬礼盒（小）", false, true, 7, direct(1, 1397034754)},
    {"选择框30", DNF, "武器特效符文", false, true, 8, direct(1, 1397036743)},
    {"选择框31", SPEED, "点券 100点", false, true, 1, direct(17, 1399710258)},
    {"选择框32", SPEED, "水果拼盘", false, false, 2, direct(17, 1397992260)},
    {"选择框33", SPEED, "魔法精灵尤诺 永久", false, true, 3, direct(17, 1399710924)},
    {"选择框34", SPEED, "魔法精灵奈叶 永久", false, true, 4, direct(17, 1399710708)},
    {"选择框35", SPEED, "皇权宝石", false, true, 5, direct(17, 1397991827)},
    {"选择框36", X5, "改名道具", false, true, 1, direct(10, 1398057349)},
    {"选择框37", X5, "绚贝（500）", false, true, 2, direct(10, 1398059157)},
    {"选择框38", X5, "重阳菊花", false, true, 3, direct(10, 1398057640)},
    {"选择框39", X5, "宠物苏生剂", false, true, 4, direct(10, 1398058701)},
    {"选择框40", X5, "宠物竞技券(5)", false, true, 5, direct(10, 1398058204)},
    {"选择框41", NZ, "特种95式（5天）", false, true, 1, direct(40, 1397812740)},
    {"选择框42", NZ, "SCAR-朱雀（5天）", false, true, 2, direct(40, 1398159502)},
    {"选择框43", NZ, "战地FAMAS（3天）", false, true, 3, direct(40, 1397812892)},
    {"选择框44", NZ, "WA2000（5天）", false, true, 4, direct(40, 1398159262)},
    {"选择框45", NZ, "普通经验加成卡(5天)", false, true, 5, direct(40, 1397812983)},
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

const Item* findItem(std::string_view checkBox) {
    auto it = std::find_if(kItems.begin(), kItems.end(),
                           [&](const Item& i) { return i.checkBox == checkBox; });
    return it == kItems.end() ? nullptr : &*it;
}

Result<std::vector<const Item*>> selectItems(const std::vector<std::string>& ticked) {
    std::vector<bool> chosen(kItems.size(), false);
    for (const auto& name : ticked) {
        const Item* item = findItem(name);
        if (item == nullptr) {
            return makeError(ErrorCode::BadInput, "没有这个商品选择框：" + name);
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
