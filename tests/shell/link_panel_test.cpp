#include "app/link_panel.h"
#include "doubles.h"

#include "platform/codec.h"
#include "platform/html_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor::app {
namespace {

using test::RecordingOpener;

Config testConfig() {
    Config c = Config::defaults();
    c.mall = "http://mall.test";
    c.forum = "http://bbs.test:8080";
    c.forumPost = 4242;
    c.followHash = "0a1b2c3d";
    c.followUid1 = "111";
    c.followUid2 = "222";
    return c;
}

std::vector<std::string> splitCrlf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, pos - start));
        start = pos + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

TEST(LinkPanel, HtmlLinesFollowThePanelLayout) {
    const Config c = testConfig();
    const auto lines = splitCrlf(linkPanelHtml(c));
    ASSERT_EQ(lines.size(), 9u);  // eight lines, the last one ending with CRLF
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1],
              "<a event=\"帖子\">查看帖子</a>    <a event=\"http://mall.test/\">游戏人生</a>    "
              "<a event=\"http://mall.test/mall/index.php\">游票商城</a>    "
              "<a event=\"http://bbs.test:8080/forum.php\">Quorrel</a>");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "<a event=\"第二版\">待定...</a>");
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "<a event=\"第三版\">待定...</a>");
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7],
              "<a event=\"http://bbs.test:8080/home.php?mod=spacecp&amp;ac=follow&amp;op=add&amp;"
              "hash=0a1b2c3d&amp;fuid=111\">点击关注作者</a> 关注作者必须先登录Quorrel论坛");
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(linkPanelHtml(c).find("href"), std::string::npos);
}

TEST(LinkPanel, QuoteInConfiguredAddressCannotBreakTheAttribute) {
    Config c = testConfig();
    c.mall = "http://x\"><script>";
    const std::string html = linkPanelHtml(c);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_NE(html.find("http://x&quot;&gt;&lt;script&gt;/"), std::string::npos);
}

// The event attributes as the panel reads them back, in order.
std::vector<std::string> eventTexts(const std::string& html) {
    std::vector<std::string> events;
    const std::string open = "event=\"";
    for (auto at = html.find(open); at != std::string::npos; at = html.find(open, at)) {
        at += open.size();
        events.push_back(unescapeHtml(html.substr(at, html.find('"', at) - at)));
    }
    return events;
}

// Addresses that hold references of their own, or quotes, come back from the panel exactly
// as configured, and so still match when clicked.
TEST(LinkPanel, EventTextsComeBackAsConfigured) {
    const std::vector<std::string> hashes{"a&amp;b", "&lt;x&gt;", "it's&quot;", "&#38;&", "普通"};
    for (const auto& hash : hashes) {
        Config c = testConfig();
        c.followHash = hash;
        c.forum = "http://bbs.test/?q=&amp;";
        std::vector<std::string> expected;
        for (const auto& link : linkPanelLinks(c)) {
            expected.push_back(link.event);
        }
        EXPECT_EQ(eventTexts(linkPanelHtml(c)), expected) << hash;
        RecordingOpener opener;
        handleLinkClick(eventTexts(linkPanelHtml(c)).back(), c, opener);
        EXPECT_EQ(opener.opened().size(), 2u) << hash;
    }
}

TEST(LinkPanel, StyleSheetLinksBlueUnderlinedOnlyUnderThePointer) {
    const auto lines = splitCrlf(linkPanelStyleSheet());
    ASSERT_EQ(lines.size(), 18u);  // seventeen rules, each ending with CRLF
    EXPECT_EQ(lines[10], "a:link {text-decoration:none; color:blue}");
    EXPECT_EQ(lines[11], "a:hover {text-decoration:underline; color:blue}");
}

TEST(Notice, EightLinesWithTheVersionLast) {
    const std::string notice = noticeText();
    const auto lines = splitCrlf(notice);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[3], " ");
    EXPECT_EQ(lines[6], "   ");
    EXPECT_EQ(lines[7], std::string(39, ' ') + "Version: 3      有任何BUG或好的建议请在帖子内回复");
    EXPECT_NE(lines[5].find("记得点击\"定\",请核对好"), std::string::npos);
    EXPECT_NE(notice.substr(notice.size() - 2), "\r\n");
}

TEST(GbkForm, NoticeAndStyleSheetHaveTheirByteCounts) {
    const auto notice = utf8ToGbk(noticeText());
    ASSERT_TRUE(notice.ok());
    EXPECT_EQ(notice->size(), 366u);
    const auto sheet = utf8ToGbk(linkPanelStyleSheet());
    ASSERT_TRUE(sheet.ok());
    EXPECT_EQ(sheet->size(), 990u);  // 991 with the terminating zero
    EXPECT_TRUE(utf8ToGbk(linkPanelHtml(testConfig())).ok());
}

TEST(LinkClick, EachEventTextOpensItsPages) {
    const Config c = testConfig();
    const std::string follow1 = followAddress(c, 1);
    const std::string follow2 = followAddress(c, 2);
    struct Case {
        std::string event;
        std::vector<std::string> opened;
    };
    const std::vector<Case> cases = {
        {"帖子", {"http://bbs.test:8080/thread-4242-1-1.html"}},
        {"http://mall.test/", {"http://mall.test/"}},
        {"http://mall.test/mall/index.php", {"http://mall.test/mall/index.php"}},
        {"http://bbs.test:8080/forum.php", {"http://bbs.test:8080/forum.php"}},
        {follow1, {follow1, follow2}},
        {"第二版", {}},
        {"第三版", {}},
        {follow2, {}},
        {"", {}},
        {"帖子 ", {}},
        {"http://mall.test", {}},
    };
    for (const auto& tc : cases) {
        RecordingOpener opener;
        handleLinkClick(tc.event, c, opener);
        EXPECT_EQ(opener.opened(), tc.opened) << tc.event;
    }
    EXPECT_NE(follow1, follow2);
    EXPECT_EQ(follow2.substr(follow2.size() - 8), "fuid=222");
}

}  // namespace
}  // namespace vellicor::app
