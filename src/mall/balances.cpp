#include "mall/balances.h"

#include <algorithm>
#include <array>

namespace vellicor::mall {
namespace {

constexpr std::string_view kTagEnd = "e\">";
constexpr std::string_view kSpanEnd = "</span>";
// No balance has more digits than this; a longer run is page noise, not a number.
constexpr std::size_t kMaxDigits = 12;

// Phrases of the portal's "log in first" pages.
constexpr std::array<std::string_view, 4> kNotLoggedIn = {"还没有登录", "未登录", "请先登录",
                                                          "登录超时"};

std::string_view trimmed(std::string_view s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool allDigits(std::string_view s) {
    return !s.empty() && s.size() <= kMaxDigits &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The number in the span that follows a name ending at `from`, or empty.
std::string_view numberAfter(std::string_view page, std::size_t from) {
    const auto tagEnd = page.find(kTagEnd, from);
    if (tagEnd == std::string_view::npos || tagEnd - from > kBalanceReach) {
        return {};
    }
    const auto start = tagEnd + kTagEnd.size();
    const auto end = page.find(kSpanEnd, start);
    if (end == std::string_view::npos) {
        return {};
    }
    const auto number = trimmed(page.substr(start, end - start));
    return allDigits(number) ? number : std::string_view{};
}

Balance balanceOf(const Game& game, std::string_view page) {
    Balance b{&game, BalanceState::Absent, {}, {}};
    // Every place the name stands is tried: the first may be a heading or a menu entry.
    for (auto at = page.find(game.name); at != std::string_view::npos;
         at = page.find(game.name, at + 1)) {
        b.state = BalanceState::Unreadable;
        const auto number = numberAfter(page, at + game.name.size());
        if (!number.empty()) {
            b.state = BalanceState::Read;
            b.amount = std::string(number);
            break;
        }
    }
    b.text = balanceText(game, b.state, b.amount);
    return b;
}

bool namesAnyGame(std::string_view page) {
    const auto table = games();
    return std::any_of(table.begin(), table.end(), [page](const Game& g) {
        return page.find(g.name) != std::string_view::npos;
    });
}

}  // namespace

std::string recordPageAddress(const Config& config) {
    return config.mall + "/mall/record.php";
}

std::string usageRecordAddress(const Config& config) {
    return config.mall + "/mall/record.php?op=cost";
}

std::string balanceText(const Game& game, BalanceState state, std::string_view amount) {
    std::string text = std::string(game.tag) + " 游票: ";
    switch (state) {
        case BalanceState::Read:
            return text + std::string(amount);
        case BalanceState::Absent:
            return text + "0";
        case BalanceState::Unreadable:
            break;
    }
    return text + "?";
}

std::vector<std::string> initialBalanceTexts() {
    std::vector<std::string> texts;
    for (const Game& g : games()) {
        texts.push_back(balanceText(g, BalanceState::Absent));
    }
    return texts;
}

std::vector<Balance> parseBalances(std::string_view page) {
    std::vector<Balance> out;
    for (const Game& g : games()) {
        out.push_back(balanceOf(g, page));
    }
    return out;
}

bool saysNotLoggedIn(std::string_view page) {
    return std::any_of(kNotLoggedIn.begin(), kNotLoggedIn.end(), [page](std::string_view p) {
        return page.find(p) != std::string_view::npos;
    });
}

Status checkRecordReply(const web::Reply& reply, std::string_view decodedBody) {
    if (!reply.redirect.empty()) {
        return makeError(ErrorCode::LoggedOut, "the record page sent the session elsewhere (" +
                                                   reply.redirect + "): not logged in");
    }
    if (reply.status != 200) {
        return makeError(ErrorCode::Transfer,
                         "the record page answered HTTP " + std::to_string(reply.status));
    }
    if (saysNotLoggedIn(decodedBody)) {
        return makeError(ErrorCode::LoggedOut, "the record page says: not logged in");
    }
    // A page naming no game reads as seven zeros; only the mall's own record page may say
    // that. A maintenance or error page in its place must not empty the account.
    if (!namesAnyGame(decodedBody) && decodedBody.find("游票") == std::string_view::npos &&
        decodedBody.find("记录") == std::string_view::npos) {
        return makeError(ErrorCode::Parse, "the reply is not the record page");
    }
    return Ok{};
}

Result<std::vector<Balance>> readBalances(const Config& config, const std::string& cookies) {
    if (cookies.empty()) {
        return makeError(ErrorCode::LoggedOut, "no session: log in first");
    }
    auto page = web::fetchPageText(recordPageAddress(config), cookies, config.http);
    if (!page) {
        return page.error();
    }
    if (auto checked = checkRecordReply(page->reply, page->text); !checked) {
        return checked.error();
    }
    return parseBalances(page->text);
}

SessionState checkSession(const Config& config, const web::Account& account) {
    Config own = config;
    own.http.proxy = web::proxyOf(account, config.http.proxy);
    const auto balances = readBalances(own, account.cookies);
    if (balances) {
        return SessionState::LoggedIn;
    }
    return balances.error().code == ErrorCode::LoggedOut ? SessionState::LoggedOut
                                                         : SessionState::Unknown;
}

}  // namespace vellicor::mall
