#include "mall/balances.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor::mall {
namespace {

std::vector<std::string> textsOf(const std::vector<Balance>& balances) {
    std::vector<std::string> out;
    for (const auto& b : balances) {
        out.push_back(b.text);
    }
    return out;
}

const std::vector<std::string> kNone = {"CF 游票: 0",  "LOL 游票: 0",   "BNS 游票: 0",
                                        "DNF 游票: 0", "Speed 游票: 0", "X5 游票: 0",
                                        "NZ 游票: 0"};

std::vector<std::string> noneBut(std::size_t game, const std::string& text) {
    auto texts = kNone;
    texts[game] = text;
    return texts;
}

TEST(Balances, TextsPerPage) {
    const std::string row = "<li>穿越火线 <span class=\"tickete\">35</span></li>";
    struct Case {
        const char* what;
        std::string page;
        std::vector<std::string> texts;
    } cases[] = {
        {"only CF", "<ul>" + row + "</ul>", noneBut(0, "CF 游票: 35")},
        {"none of the seven", "<html><body>暂无记录</body></html>", kNone},
        {"empty page", "", kNone},
        {"every game",
         "穿越火线<span class=\"tickete\">1</span>英雄联盟<span class=\"tickete\">2</span>"
         "剑灵<span class=\"tickete\">3</span>地下城与勇士<span class=\"tickete\">4</span>"
         "QQ飞车<span class=\"tickete\">5</span>QQ炫舞<span class=\"tickete\">6</span>"
         "逆战<span class=\"tickete\">7</span>",
         {"CF 游票: 1", "LOL 游票: 2", "BNS 游票: 3", "DNF 游票: 4", "Speed 游票: 5", "X5 游票: 6",
          "NZ 游票: 7"}},
        {"blanks around the number", "剑灵<span class=\"tickete\"> 120\r\n</span>",
         noneBut(2, "BNS 游票: 120")},
        {"name without number", "穿越火线 <span class=\"tickete\">--</span>",
         noneBut(0, "CF 游票: ?")},
        {"name without any span", "<a href=\"/mall/cf\">穿越火线</a>", noneBut(0, "CF 游票: ?")},
        {"unterminated span", "逆战<span class=\"tickete\">9", noneBut(6, "NZ 游票: ?")},
        // A menu entry first: the next game's balance must not be borrowed across the gap.
        {"name far from the next span",
         "<a>穿越火线</a>" + std::string(400, ' ') + "英雄联盟<span class=\"tickete\">8</span>",
         {"CF 游票: ?", "LOL 游票: 8", "BNS 游票: 0", "DNF 游票: 0", "Speed 游票: 0", "X5 游票: 0",
          "NZ 游票: 0"}},
        {"menu entry, then the balance row", "<a>穿越火线</a>" + std::string(400, ' ') + row,
         noneBut(0, "CF 游票: 35")},
        {"absurdly long number", "穿越火线<span class=\"tickete\">1234567890123</span>",
         noneBut(0, "CF 游票: ?")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(textsOf(parseBalances(c.page)), c.texts) << c.what;
    }
}

TEST(Balances, StatesAndAmounts) {
    const auto b = parseBalances("QQ炫舞<span class=\"tickete\">42</span>剑灵");
    EXPECT_EQ(b[5].state, BalanceState::Read);
    EXPECT_EQ(b[5].amount, "42");
    EXPECT_EQ(b[2].state, BalanceState::Unreadable);
    EXPECT_EQ(b[0].state, BalanceState::Absent);
    EXPECT_EQ(initialBalanceTexts(), kNone);
}

TEST(Balances, RecordReplyMustBeTheUsersRecord) {
    struct Case {
        const char* what;
        long status;
        std::string redirect;
        std::string body;
        bool accepted;
    } cases[] = {
        {"record page", 200, "", "穿越火线<span class=\"tickete\">35</span>", true},
        {"record page naming no game", 200, "", "<p>兑换记录</p>", true},
        {"maintenance page in its place", 200, "", "<p>系统维护中，请稍后访问</p>", false},
        {"not logged in", 200, "", "<p>很抱歉，您还没有登录</p>", false},
        {"log in first", 200, "", "请先登录", false},
        {"redirect to the login", 302, "http://login.test/cgi-bin/login", "", false},
        {"server error", 500, "", "", false},
    };
    for (const auto& c : cases) {
        web::Reply reply;
        reply.status = c.status;
        reply.redirect = c.redirect;
        EXPECT_EQ(checkRecordReply(reply, c.body).ok(), c.accepted) << c.what;
    }
}

TEST(Balances, NoSessionSendsNothing) {
    // An unroutable mall: were a request sent, the error would be a connection error.
    Config c = Config::defaults();
    const auto r = readBalances(c, "");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::LoggedOut);
}

TEST(Balances, Addresses) {
    Config c = Config::defaults().withPortal("http://127.0.0.1:9");
    EXPECT_EQ(recordPageAddress(c), "http://127.0.0.1:9/mall/record.php");
    EXPECT_EQ(usageRecordAddress(c), "http://127.0.0.1:9/mall/record.php?op=cost");
}

}  // namespace
}  // namespace vellicor::mall
