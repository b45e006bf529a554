#include "platform/html_text.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vellicor {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const std::string kFffd = "\xEF\xBF\xBD";

TEST(EscapeHtml, LeavesNoMarkupAndNoBareAmpersand) {
    const Pairs cases{
        {"", ""},
        {"a&b", "a&amp;b"},
        {"&amp;", "&amp;amp;"},
        {"<a href=\"x\">", "&lt;a href=&quot;x&quot;&gt;"},
        {"it's", "it&#39;s"},
        {"中文 \xC2\xA0\xFF", "中文 \xC2\xA0\xFF"},
    };
    for (const auto& [text, html] : cases) {
        EXPECT_EQ(escapeHtml(text), html) << text;
    }
}

TEST(UnescapeHtml, References) {
    const Pairs cases{
        {"&amp;&lt;&gt;&quot;&apos;&#39;", "&<>\"''"},
        {"a&nbsp;b&middot;c&hellip;",
         "a\xC2\xA0"
         "b·c…"},
        {"&#x4E2D;&#X6587;&#25991;&#x1F600;", "中文文😀"},
        {"&#00065;&#x0000000041;", "AA"},
        {"&#0;|&#xD800;|&#xDFFF;|&#1114112;|&#99999999999999999999;",
         kFffd + "|" + kFffd + "|" + kFffd + "|" + kFffd + "|" + kFffd},
        {"&#1114111;", "\xF4\x8F\xBF\xBF"},
        // Not references: kept byte for byte.
        {"&bogus; &AMP; &amp &#; &#x; &#12 &#x4G; & ;",
         "&bogus; &AMP; &amp &#; &#x; &#12 &#x4G; & ;"},
        {"?a=1&b=2", "?a=1&b=2"},
        {"&averyveryverylongname;", "&averyveryverylongname;"},
        {"&&amp;;", "&&;"},
    };
    for (const auto& [html, text] : cases) {
        EXPECT_EQ(unescapeHtml(html), text) << html;
    }
}

// The strings a writer of a page might trip over: references that are already there, bare
// ampersands, broken and multibyte text.
TEST(RoundTrip, DecodingUndoesEncoding) {
    const std::vector<std::string> table{
        "",
        "&",
        "&amp;",
        "&amp;amp;",
        "&lt;script&gt;",
        "&#39;&#x27;&#;",
        "http://bbs.test/home.php?mod=spacecp&ac=follow&hash=a&amp;b",
        "'\"<>&;#",
        "中文&nbsp;字\xC2\xA0",
        "\xFF\xFE\xE4\xB8",
    };
    for (const auto& s : table) {
        EXPECT_EQ(unescapeHtml(escapeHtml(s)), s) << s;
    }
}

TEST(RoundTrip, GeneratedStrings) {
    static const std::array<std::string_view, 20> pieces{"&", ";",  "#", "x",  "X", "a",       "m",
                                                         "p", "l",  "t", "q",  "0", "9",       "<",
                                                         ">", "\"", "'", "中", "😀", "\xC2\xA0"};
    std::mt19937 random(20240101);
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    for (int round = 0; round < 5000; ++round) {
        std::string s;
        for (int n = length(random); n > 0; --n) {
            s += pieces[piece(random)];
        }
        const std::string html = escapeHtml(s);
        ASSERT_EQ(html.find_first_of("<>\"'"), std::string::npos) << s;
        ASSERT_EQ(unescapeHtml(html), s) << s;
    }
}

TEST(VisibleText, Markup) {
    const Pairs cases{
        {"a < b &amp;&amp; c", "a < b && c"},
        {"<!-- hidden -->shown<br/>next", "shown next"},
        {"<SCRIPT>x()</SCRIPT>after<style>p{}</style>", "after"},
        {"&#x4E2D;&#25991;&bogus;&", "中文&bogus;&"},
        {"&#0;&#13;&#xD800;end", kFffd + " " + kFffd + "end"},
        {"  \t\r\n ", ""},
        {"<p>unterminated <a href=\"x", "unterminated"},
        {"<p>一</p><p>二</p>", "一 二"},
        {"兑换<b>成功</b><SPAN>！</SPAN>", "兑换成功！"},
        {"a&nbsp;\xC2\xA0&#160; b", "a b"},
        {"&lt;b&gt;not a tag&lt;/b&gt;", "<b>not a tag</b>"},
        {"x<1 & y>2", "x<1 & y>2"},
    };
    for (const auto& [html, text] : cases) {
        EXPECT_EQ(visibleText(html), text) << html;
    }
}

// A hostile page must cost one pass: each of these used to be, or could be, rescanned.
TEST(VisibleText, LargeDegeneratePagesComeBackWhole) {
    const std::size_t n = 1 << 20;
    EXPECT_EQ(visibleText(std::string(n, '&')), std::string(n, '&'));
    EXPECT_EQ(unescapeHtml(std::string(n, '&')), std::string(n, '&'));
    std::string digits = "&#";
    digits += std::string(n, '9');
    EXPECT_EQ(unescapeHtml(digits), digits);
    std::string opened;
    for (std::size_t i = 0; i < n / 8; ++i) {
        opened += "<p><b>x";
    }
    EXPECT_EQ(visibleText(opened).size(), 2 * (n / 8) - 1);
}

TEST(WithoutScripts, CutsOnlyTheHiddenParts) {
    const Pairs cases{
        {"a<script>很抱歉，x</script>b", "ab"},
        {"<p>a</p><!-- c --><STYLE>s</STYLE><p>b</p>", "<p>a</p><p>b</p>"},
        {"x<script>never closed", "x"},
        {"1 < 2 &amp; <b>", "1 < 2 &amp; <b>"},
    };
    for (const auto& [html, kept] : cases) {
        EXPECT_EQ(withoutScripts(html), kept) << html;
    }
}

}  // namespace
}  // namespace vellicor
