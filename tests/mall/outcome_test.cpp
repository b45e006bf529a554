#include "mall/outcome.h"

#include <gtest/gtest.h>

#include "platform/codec.h"

namespace vellicor::mall {
namespace {

std::string page(const std::string& inner) {
    return "<!DOCTYPE html><html><head><meta charset=\"gbk\"><title>游戏人生 - 商城</title>"
           "<style>.popaitem{display:block}</style><script>var s=\"很抱歉，脚本\";</script>"
           "</head><body><div class=\"wrap\">" +
           inner + "</div></body></html>";
}

struct ClassifyCase {
    const char* name;
    long status;
    std::string body;
    OutcomeKind kind;
    std::string message;
};

std::vector<ClassifyCase> classifyCases() {
    return {
        {"loss", 200,
         page("<div class=\"popaitem c2\"><p>差一点点就中奖了，再来一次吧</p>"
              "<a href=\"#\">关闭窗口</a></div>"),
         OutcomeKind::LotteryLoss, "差一点点就中奖了"},
        {"sold out", 200, page("<p class=\"tip\">很抱歉，该商品今日已被兑换完，明天再来</p>"),
         OutcomeKind::SoldOut, "该商品今日已被兑换完"},
        {"not open", 200,
         page("<p class=\"tip\">很抱歉，烟雾头(抽奖)将于12:00:00点开始兑换，请稍后再来</p>"),
         OutcomeKind::NotOpen, "烟雾头(抽奖)将于12:00:00点开始兑换，请稍后再来"},
        {"not open across lines", 200,
         page("<p>很抱歉，\r\n  改名将于<b>10:00:00</b>点开始兑换，请稍后再来\r\n</p>"),
         OutcomeKind::NotOpen, "改名将于10:00:00点开始兑换，请稍后再来"},
        {"not open without apology", 200, page("<span>点开始兑换，请稍后再来</span>"),
         OutcomeKind::NotOpen, "点开始兑换，请稍后再来"},
        {"refusal", 200, page("<p>很抱歉，您的游票不足，无法兑换</p><p>其他</p>"),
         OutcomeKind::Refusal, "您的游票不足，无法兑换"},
        {"refusal without paragraph end", 200, "很抱歉，您还没有登录<br>", OutcomeKind::Refusal,
         "您还没有登录"},
        {"unmet", 200, page("<p>很抱歉，您未满足条件：需要角色等级 10 级</p>"), OutcomeKind::Unmet,
         "您未满足条件：需要角色等级 10 级"},
        {"popup win", 200,
         page("<div class=\"popaitem c3 win\" id=\"pop\">\n  <h3>恭喜您</h3>\n"
              "  <p>兑换成功！&nbsp;获得&lt;改名&gt; &amp; 礼包&#65281;</p>\n"
              "  <a href=\"javascript:;\" class=\"close\">关闭窗口</a></div>"),
         OutcomeKind::Popup, "恭喜您 兑换成功！ 获得<改名> & 礼包！"},
        {"popup close link in attribute", 200,
         page("<div class=\"popaitem cx\"><p>已放入您的仓库</p><a "
              "title=\"关闭窗口\">关闭窗口</a></div>"),
         OutcomeKind::Popup, "已放入您的仓库"},
        {"popup with apology inside", 200,
         page("<div class=\"popaitem c1\"><p>很抱歉，系统繁忙</p><a>关闭窗口</a></div>"),
         OutcomeKind::Popup, "很抱歉，系统繁忙"},
        {"empty popup falls through", 200,
         page("<div class=\"popaitem c1\"> <a>关闭窗口</a></div><p>很抱歉，请重新登录</p>"),
         OutcomeKind::Refusal, "请重新登录"},
        {"answer inside a script", 200, page("<script>alert('该商品今日已被兑换完');</script>"),
         OutcomeKind::SoldOut, "该商品今日已被兑换完"},
        {"unavailable", 503, "<html><body><h1>503 Service Unavailable</h1></body></html>",
         OutcomeKind::Throttled, "请求过多（HTTP 503）：503 Service Unavailable"},
        {"turned away by a request shield", 412, "<html><body>blocked</body></html>",
         OutcomeKind::Throttled, "请求过多（HTTP 412）：blocked"},
        {"too many requests", 429, "<p>slow down</p>", OutcomeKind::Throttled,
         "请求过多（HTTP 429）：slow down"},
        {"busy page", 200, "<p>您的操作过于频繁，请稍后再试</p>", OutcomeKind::Throttled,
         "请求过多（HTTP 200）：您的操作过于频繁，请稍后再试"},
        {"unrecognised empty", 200, "", OutcomeKind::Unrecognised,
         "无法识别的回复（HTTP 200）：（页面没有文字）"},
        {"unrecognised long", 200, std::string(300, 'x'), OutcomeKind::Unrecognised,
         "无法识别的回复（HTTP 200）：" + std::string(40, 'x') + "…"},
    };
}

TEST(Classify, RealLookingPages) {
    for (const auto& c : classifyCases()) {
        const Outcome got = classifyReply(c.status, c.body);
        EXPECT_EQ(got.kind, c.kind) << c.name;
        EXPECT_EQ(got.message, c.message) << c.name;
        EXPECT_EQ(got.message.find_first_of("\r\n"), std::string::npos) << c.name;
    }
}

// The mall sends GBK; the same pages must read alike once decoded.
TEST(Classify, GbkPagesAfterDecoding) {
    for (const auto& c : classifyCases()) {
        auto gbk = utf8ToGbk(c.body);
        ASSERT_TRUE(gbk.ok()) << c.name;
        const Outcome got = classifyReply(c.status, gbkToUtf8(*gbk));
        EXPECT_EQ(got.kind, c.kind) << c.name;
        EXPECT_EQ(got.message, c.message) << c.name;
    }
}

TEST(Classify, FailedRequestKeepsItsErrorOnOneLine) {
    const Outcome got = failedRequest(makeError(ErrorCode::Timeout, "timed out\r\nafter 8000 ms"));
    EXPECT_EQ(got.kind, OutcomeKind::Failed);
    EXPECT_EQ(got.message, "请求失败：timed out after 8000 ms");
}

TEST(Lines, PrefixAndShape) {
    EXPECT_EQ(linePrefix("12:00:00.004", "烟雾头(抽奖)", 17, 1), "12:00:00.004 [烟雾头(抽奖)] #17");
    EXPECT_EQ(linePrefix("12:00:00.004", "改名", 3, 4), "12:00:00.004 [改名] #3 第4次");
    EXPECT_EQ(outcomeLine("p", "差一点点就中奖了"), "p  :差一点点就中奖了\r\n");
    EXPECT_EQ(clipText("中文字", 2), "中文…");
    EXPECT_EQ(clipText("中文", 2), "中文");
}

TEST(Lines, LocalTimeOfDayWithMilliseconds) {
    using namespace std::chrono;
    // 2024-01-01 03:59:58.004 UTC is 11:59:58.004 at UTC+8.
    MockClock clock(system_clock::time_point(seconds(1704081598) + milliseconds(4)), 8 * 3600);
    EXPECT_EQ(localTimeOfDay(clock), "11:59:58.004");
    MockClock west(system_clock::time_point(seconds(3600)), -5 * 3600);
    EXPECT_EQ(localTimeOfDay(west), "20:00:00.000");
}

}  // namespace
}  // namespace vellicor::mall
