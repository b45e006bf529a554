// The ticket mall: its index, the classify page, the exchange answers, the record pages.

#include <charconv>

#include "portal/pages.h"

namespace vellicor::portal {
namespace {

template <typename T>
T number(const SimRequest& r, const std::string& key) {
    const std::string* text = r.param(key);
    T value{};
    if (text == nullptr || std::from_chars(text->data(), text->data() + text->size(), value).ptr !=
                               text->data() + text->size()) {
        return T{};
    }
    return value;
}

std::string mallPage(const std::string& inner) {
    return page("游票商城", "<div class=\"mall_wrap\">\r\n" + inner + "\r\n</div>");
}

std::string refusal(const std::string& sentence) {
    return "<div class=\"mall_tips\"><p>很抱歉，" + sentence + "</p></div>";
}

std::string popup(const std::string& message) {
    return "<div class=\"popaitem cgreen\" id=\"pop_result\">"
           "<div class=\"pop_hd\"><h3>温馨提示</h3></div>"
           "<div class=\"pop_bd\"><p>" +
           message +
           "</p></div>"
           "<div class=\"pop_ft\"><a href=\"javascript:void(0);\" class=\"pop_close\">关闭窗口</a>"
           "</div></div>";
}

std::string limitText(int perAccountDaily) {
    return "每个帐号每天限兑 " + std::to_string(perAccountDaily) + " 次";
}

std::string exchangeAnswer(const ExchangeOutcome& o, const PortalTime& t) {
    const std::string caption = o.item != nullptr ? o.item->caption : "";
    switch (o.result) {
        case ExchangeResult::NotLoggedIn:
            return refusal("您还没有登录");
        case ExchangeResult::UnknownItem:
            return refusal("该商品不存在或已下架");
        case ExchangeResult::BadToken:
            return refusal("请求已失效，请刷新页面后重试");
        case ExchangeResult::WrongWay:
            return refusal("该商品不支持此兑换方式");
        case ExchangeResult::NotOpenYet:
            return refusal(caption + "将于" + clockText(o.opensAt, t.utcOffsetSeconds) +
                           "点开始兑换，请稍后再来");
        case ExchangeResult::ConditionUnmet:
            return refusal("您未满足条件，无法兑换该商品");
        case ExchangeResult::AccountLimit:
            return refusal("该商品" + limitText(o.perAccountDaily) + "，您今天已兑换过了");
        case ExchangeResult::SoldOut:
            return refusal("该商品今日已被兑换完");
        case ExchangeResult::NotEnoughTickets:
            return refusal("您的游票不足，兑换" + caption + "需要" + std::to_string(o.price) +
                           "游票");
        case ExchangeResult::Exchanged:
            return popup("恭喜您，成功兑换" + caption + "，消耗" + std::to_string(o.price) +
                         "游票，道具将在24小时内发放到您的游戏帐号中");
        case ExchangeResult::LotteryWon:
            return popup("恭喜您，抽中了" + caption + "，道具将在24小时内发放到您的游戏帐号中");
        case ExchangeResult::LotteryLost:
            return "<div class=\"mall_tips\"><p>差一点点就中奖了，再接再厉！</p></div>";
    }
    return refusal("系统繁忙");
}

std::string itemRows(int gid, const MallState& state) {
    std::string rows;
    for (const auto& item : catalogue()) {
        if (item.gid != gid) {
            continue;
        }
        const int limit = state.perAccountDaily(item.propsid);
        rows += "<li class=\"prop\"><span class=\"name\">" + std::string(item.caption) +
                "</span> <span class=\"left\">剩余 " + std::to_string(state.stock(item.propsid)) +
                "</span>" +
                (limit > 0 ? " <span class=\"limit\">" + limitText(limit) + "</span>" : "") +
                "</li>\r\n";
    }
    return rows;
}

std::string welcome(const std::string& uin) {
    return uin.empty() ? "<div class=\"user\"><a href=\"/\">请先登录</a></div>"
                       : "<div class=\"user\">欢迎您，" + uin + "</div>";
}

}  // namespace

SimReply mallIndex(const SimRequest& r, PageContext& c) {
    std::string list;
    for (const auto& g : games()) {
        list += "<li><a href=\"/mall/classify.php?type=2&amp;gid=" + std::to_string(g.gid) +
                "&amp;sort=3\">" + g.name + "</a></li>\r\n";
    }
    return htmlReply(200, mallPage(welcome(sessionOf(r, c)) +
                                   "<h2>游票商城</h2><ul class=\"games\">" + list + "</ul>"));
}

SimReply classifyPage(const SimRequest& r, PageContext& c) {
    const int gid = number<int>(r, "gid");
    const GameInfo* game = findGame(gid);
    if (game == nullptr) {
        return htmlReply(404, mallPage(refusal("没有找到该分类")));
    }
    return htmlReply(200,
                     mallPage(welcome(sessionOf(r, c)) + "<h2>" + game->name +
                              "</h2><ul class=\"props\">\r\n" + itemRows(gid, c.state) + "</ul>"));
}

SimReply exchangePage(const SimRequest& r, PageContext& c) {
    ExchangeRequest er;
    er.uin = sessionOf(r, c);
    er.gid = number<int>(r, "gid");
    er.propsid = number<std::int64_t>(r, "propsid");
    er.way = number<int>(r, "way");
    const std::string* token = r.param("g_tk");
    er.token = token == nullptr ? std::string{} : *token;
    const ExchangeOutcome outcome = c.state.exchange(er, c.time);
    return htmlReply(200, mallPage(exchangeAnswer(outcome, c.time)));
}

SimReply recordPage(const SimRequest& r, PageContext& c) {
    const std::string uin = sessionOf(r, c);
    if (uin.empty()) {
        return notLoggedIn();
    }
    const std::string* op = r.param("op");
    if (op != nullptr && *op == "cost") {
        std::string rows;
        for (const auto& e : c.state.costs(uin)) {
            const GameInfo* g = findGame(e.gid);
            const char* what = !e.lottery ? "兑换成功" : e.lotteryWon ? "抽中" : "未中奖";
            rows += "<tr><td>" + dateTimeText(e.at, c.time.utcOffsetSeconds) + "</td><td>" +
                    (g != nullptr ? g->name : "") + "</td><td>" + e.caption + "</td><td>" +
                    std::to_string(e.tickets) + "</td><td>" + what + "</td></tr>\r\n";
        }
        if (rows.empty()) {
            rows = "<tr><td colspan=\"5\">暂无游票使用记录</td></tr>\r\n";
        }
        return htmlReply(200, mallPage(welcome(uin) +
                                       "<h2>游票使用记录</h2><table class=\"cost\">\r\n"
                                       "<tr><th>时间</th><th>游戏</th><th>道具</th><th>游票</th>"
                                       "<th>结果</th></tr>\r\n" +
                                       rows + "</table>"));
    }
    // One row per game with tickets: the name, then the balance alone in its span.
    const auto balances = c.state.balances(uin);
    std::string rows;
    for (const auto& g : games()) {
        if (auto it = balances.find(g.gid); it != balances.end()) {
            rows += "<tr><td class=\"gm\">" + std::string(g.name) +
                    "</td><td><span class=\"tickete\">" + std::to_string(it->second) +
                    "</span></td></tr>\r\n";
        }
    }
    return htmlReply(200, mallPage(welcome(uin) + "<h2>我的游票</h2><table class=\"ticket\">\r\n" +
                                   rows + "</table>"));
}

}  // namespace vellicor::portal
