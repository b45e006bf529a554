#include "signin/signin.h"

#include <algorithm>

#include "mall/balances.h"
#include "web/page_request.h"

namespace vellicor::signin {
namespace {

constexpr std::string_view kSigned = "签到成功";
constexpr std::string_view kRun = "连续";
// The number of days stands right at "连续": inside its <em>, or in the <em> that follows
// within this many bytes. Further away it belongs to some other sentence.
constexpr std::size_t kRunReach = 80;

std::string withoutMarkup(std::string_view html) {
    std::string out;
    bool inTag = false;
    bool blank = false;
    for (const char c : html) {
        if (c == '<' || c == '>') {
            inTag = c == '<';
            continue;
        }
        if (inTag) {
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = !out.empty();
            continue;
        }
        if (blank) {
            out += ' ';
            blank = false;
        }
        out += c;
    }
    return out;
}

// The text between `open` and the next `close` after `from`; empty when either is missing.
std::string_view between(std::string_view text, std::string_view open, std::string_view close,
                         std::size_t from = 0) {
    const auto b = text.find(open, from);
    if (b == std::string_view::npos) {
        return {};
    }
    const auto start = b + open.size();
    const auto e = text.find(close, start);
    return e == std::string_view::npos ? std::string_view{} : text.substr(start, e - start);
}

std::string firstDigits(std::string_view text) {
    const auto b = text.find_first_of("0123456789");
    if (b == std::string_view::npos) {
        return {};
    }
    const auto e = text.find_first_not_of("0123456789", b);
    return std::string(text.substr(b, e == std::string_view::npos ? e : e - b));
}

std::string runOfDays(std::string_view reply) {
    const auto at = reply.find(kRun);
    if (at == std::string_view::npos) {
        return {};
    }
    // "<em>连续3天</em>": the word stands inside the element.
    const auto open = reply.rfind("<em>", at);
    if (open != std::string_view::npos) {
        const auto close = reply.find("</em>", open);
        if (close != std::string_view::npos && close > at) {
            return firstDigits(reply.substr(at, close - at));
        }
    }
    // "连续签到<em>3</em>天": the number is in the element that follows.
    const auto next = reply.find("<em>", at);
    if (next == std::string_view::npos || next - at > kRunReach) {
        return {};
    }
    return firstDigits(between(reply, "<em>", "</em>", next));
}

Status checkReply(const web::Reply& reply, std::string_view page) {
    if (!reply.redirect.empty()) {
        return makeError(ErrorCode::Parse,
                         "sent elsewhere (" + reply.redirect + "): not logged in");
    }
    if (reply.status != 200) {
        return makeError(ErrorCode::Transfer, "HTTP " + std::to_string(reply.status));
    }
    if (mall::saysNotLoggedIn(page)) {
        return makeError(ErrorCode::Parse, "not logged in");
    }
    // A maintenance or error page would otherwise read as "not signed in today".
    if (page.find("签到") == std::string_view::npos) {
        return makeError(ErrorCode::Parse, "the reply says nothing of a sign-in");
    }
    return Ok{};
}

Result<SigninState> queryState(const Config& config, const std::string& cookies, int gid) {
    auto page = web::fetchPageText(signinQueryAddress(config.mall, gid), cookies, config.http);
    if (!page) {
        return page.error();
    }
    if (auto checked = checkReply(page->reply, page->text); !checked) {
        return checked.error();
    }
    return parseSigninState(page->text);
}

}  // namespace

std::string signinQueryAddress(std::string_view mallBase, int gid) {
    return std::string(mallBase) +
           "/center2/indexop.php?op=getsign&tipsflg=1&gid=" + std::to_string(gid) +
           "&g_tk=862047319";
}

std::string centrePageAddress(std::string_view mallBase, int gid) {
    return std::string(mallBase) + "/center/index.php?first=1&gid=" + std::to_string(gid);
}

std::string SigninState::text() const {
    std::string out(signedToday ? kSigned : kNotSigned);
    if (!highlight.empty() && highlight.find(kSigned) == std::string::npos) {
        out += " " + highlight;
    }
    if (!days.empty()) {
        out += "," + std::string(kRun) + days + "天";
    }
    return out;
}

SigninState parseSigninState(std::string_view reply) {
    SigninState s;
    s.signedToday = reply.find(kSigned) != std::string_view::npos;
    s.highlight = withoutMarkup(between(reply, "<strong>", "</strong>"));
    s.days = runOfDays(reply);
    return s;
}

std::string labelText(const mall::Game& game, std::string_view state) {
    return std::string(game.tag) + "  " + std::string(state);
}

std::vector<std::string> initialLabels() {
    std::vector<std::string> labels;
    for (const auto& g : mall::games()) {
        labels.push_back(labelText(g, kNotSigned));
    }
    return labels;
}

std::vector<std::size_t> refreshOrder() {
    const auto table = mall::games();
    std::vector<std::size_t> order(table.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&table](std::size_t a, std::size_t b) { return table[a].gid < table[b].gid; });
    return order;
}

RefreshResult refreshStates(const Config& config, const std::string& cookies, const LogSink& log,
                            const LabelSink& onLabel) {
    RefreshResult result{initialLabels(), 0, false};
    const auto table = mall::games();
    if (cookies.empty()) {
        log("未登录,无法刷新签到信息\r\n");
        result.failed = table.size();
        return result;
    }
    std::size_t signedCount = 0;
    for (const std::size_t i : refreshOrder()) {
        const mall::Game& game = table[i];
        log(std::string(kRefreshing) + std::string(game.caption) + "\r\n");
        const auto state = queryState(config, cookies, game.gid);
        if (state) {
            result.labels[i] = labelText(game, state->text());
            signedCount += state->signedToday ? 1 : 0;
        } else {
            result.labels[i] = labelText(game, kUnknown);
            ++result.failed;
            log("签到信息读取失败: " + std::string(game.caption) + ": " + state.error().message +
                "\r\n");
        }
        onLabel(i, result.labels[i]);
    }
    result.dayComplete = signedCount == table.size();
    if (result.dayComplete) {
        log(std::string(kDayComplete));
    }
    return result;
}

}  // namespace vellicor::signin
