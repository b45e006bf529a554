#include <gtest/gtest.h>

#include "platform/codec.h"

namespace vellicor {
namespace {

struct DecodeCase {
    const char* what;
    std::string gbk;
    std::string utf8;
};

const std::string kBad = "\xEF\xBF\xBD";

TEST(GbkDecode, Vectors) {
    const DecodeCase cases[] = {
        {"ascii", "abc 123", "abc 123"},
        {"two-byte pairs", "\xC4\xE3\xBA\xC3", "你好"},
        {"0x80 is the euro sign", "\x80", "€"},
        {"four-byte sequence", std::string("\x81\x30\x81\x30", 4), "\xC2\x80"},
        {"0xFF keeps the ASCII after it",
         "\xFF"
         "A",
         kBad + "A"},
        {"lead before a blank", "\x81 x", kBad + " x"},
        {"lead before DEL", "\x81\x7F", kBad + "\x7F"},
        {"cut four-byte sequence",
         "\x81\x30"
         "A",
         kBad + "0A"},
        {"lead byte at the end", "ok\xC4", "ok" + kBad},
        {"lone lead byte", "\xC4", kBad},
        {"empty", "", ""},
        {"NUL survives", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gbkToUtf8(c.gbk), c.utf8) << c.what;
    }
}

TEST(GbkEncode, Vectors) {
    EXPECT_EQ(utf8ToGbk("你好").value(), "\xC4\xE3\xBA\xC3");
    EXPECT_EQ(utf8ToGbk("a=1&b=€").value(), "a=1&b=\x80");
    EXPECT_EQ(utf8ToGbk("").value(), "");
    for (const char* bad : {"\xF0\x9F\x98\x80" /* no GBK form */, "\xC3" /* cut */, "x\xFFy"}) {
        auto r = utf8ToGbk(bad);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_EQ(r.error().code, ErrorCode::BadInput);
    }
}

TEST(GbkEncode, PortalMarkersRoundTrip) {
    for (const char* text : {"很抱歉，", "差一点点就中奖了", "该商品今日已被兑换完", "您未满足条件",
                             "关闭窗口", "签到成功", "连续"}) {
        auto gbk = utf8ToGbk(text);
        ASSERT_TRUE(gbk.ok()) << text;
        EXPECT_EQ(gbkToUtf8(gbk.value()), text);
    }
}

// "俺晒Α" in GBK is B0B3 C9B9 A6A1; its middle bytes B3C9 B9A6 are "成功". A byte search
// finds the marker starting on a trail byte; the decoded text does not hold it.
TEST(GbkContains, NoFalseMatchFromTrailBytes) {
    const std::string page = "<p>\xB0\xB3\xC9\xB9\xA6\xA1</p>";
    const std::string marker = utf8ToGbk("成功").value();
    ASSERT_NE(page.find(marker), std::string::npos);
    EXPECT_FALSE(gbkContains(page, "成功"));
    EXPECT_TRUE(gbkContains(page, "俺晒"));
    EXPECT_TRUE(gbkContains("<p>" + utf8ToGbk("兑换成功").value() + "</p>", "成功"));
}

}  // namespace
}  // namespace vellicor
