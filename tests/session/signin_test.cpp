#include "signin/signin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor::signin {
namespace {

TEST(SigninState, ComposedFromTheReply) {
    struct Case {
        const char* what;
        std::string reply;
        bool signedToday;
        std::string text;
    } cases[] = {
        {"signed, days inside em",
         "<p>签到成功</p><p>获得<strong>5</strong>积分</p><p><em>连续3天</em></p>", true,
         "签到成功 5,连续3天"},
        {"signed, days in the em after the word", "<p>签到成功</p><p>已连续签到<em>12</em>天</p>",
         true, "签到成功,连续12天"},
        {"not signed yet", "<p>今天还未签到</p><p>已连续签到<em>0</em>天</p>", false,
         "未签到,连续0天"},
        {"empty reply", "", false, "未签到"},
        {"strong with markup and blanks", "签到成功<strong> <b>+10</b>\n 积分 </strong>", true,
         "签到成功 +10 积分"},
        {"strong repeating the word is not doubled", "<strong>签到成功</strong>", true, "签到成功"},
        {"em far after the word belongs elsewhere", "连续" + std::string(200, 'x') + "<em>9</em>",
         false, "未签到"},
        {"word without number", "签到成功<em>连续签到</em>", true, "签到成功"},
        {"unterminated strong", "签到成功<strong>7", true, "签到成功"},
    };
    for (const auto& c : cases) {
        const SigninState s = parseSigninState(c.reply);
        EXPECT_EQ(s.signedToday, c.signedToday) << c.what;
        EXPECT_EQ(s.text(), c.text) << c.what;
    }
}

TEST(Signin, Addresses) {
    EXPECT_EQ(signinQueryAddress("http://m.test", 10),
              "http://m.test/center2/indexop.php?op=getsign&tipsflg=1&gid=10&g_tk=862047319");
    EXPECT_EQ(centrePageAddress("http://m.test", 61),
              "http://m.test/center/index.php?first=1&gid=61");
}

TEST(Signin, LabelsAndOrder) {
    EXPECT_EQ(initialLabels(),
              (std::vector<std::string>{"CF  未签到", "LOL  未签到", "BNS  未签到", "DNF  未签到",
                                        "Speed  未签到", "X5  未签到", "NZ  未签到"}));
    std::vector<int> gids;
    for (const auto i : refreshOrder()) {
        gids.push_back(mall::games()[i].gid);
    }
    EXPECT_EQ(gids, (std::vector<int>{1, 2, 10, 17, 26, 40, 61}));
}

TEST(Signin, RefreshWithoutSessionSendsNothing) {
    std::vector<std::string> lines;
    int labels = 0;
    const auto r = refreshStates(
        Config::defaults(), "", [&](const std::string& l) { lines.push_back(l); },
        [&](std::size_t, const std::string&) { ++labels; });
    EXPECT_EQ(labels, 0);
    EXPECT_FALSE(r.dayComplete);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("\r\n"));
}

}  // namespace
}  // namespace vellicor::signin
