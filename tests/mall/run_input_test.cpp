#include "mall/run_input.h"
#include "schedule/time_of_day.h"

#include <gtest/gtest.h>

namespace vellicor::mall {
namespace {

TEST(ThreadField, Values) {
    struct Case {
        std::string text;
        int value;  // 0: refused
        const char* says;
    };
    const std::vector<Case> cases{
        {"100", 100, ""},        {" 7 ", 7, ""},
        {"007", 7, ""},          {"1000", 1000, ""},
        {"", 0, "为空"},         {"   ", 0, "为空"},
        {"0", 0, "不能为 0"},    {"000", 0, "不能为 0"},
        {"-5", 0, "负数"},       {"abc", 0, "不是整数"},
        {"12a", 0, "不是整数"},  {"+5", 0, "不是整数"},
        {"1.5", 0, "不是整数"},  {"１００", 0, "不是整数"},
        {"1001", 0, "超过上限"}, {"99999999999999999999999", 0, "超过上限"},
    };
    for (const auto& c : cases) {
        auto got = parseWorkerCount(c.text, 1000);
        if (c.value > 0) {
            ASSERT_TRUE(got.ok()) << c.text;
            EXPECT_EQ(*got, c.value);
            continue;
        }
        ASSERT_FALSE(got.ok()) << c.text;
        EXPECT_NE(got.error().message.find(c.says), std::string::npos) << got.error().message;
        EXPECT_NE(got.error().message.find("未发送"), std::string::npos) << c.text;
    }
}

TEST(PlanRun, RefusalsAndPlan) {
    struct Case {
        std::vector<std::string> ticked;
        std::string field;
        std::string cookies;
        const char* says;  // nullptr: accepted
    };
    const std::vector<Case> cases{
        {{"选择框1"}, "3", "", "尚未登录"}, {{"选择框1"}, "3", "uin=1\r\nX-Evil: 1", "换行"},
        {{}, "3", "uin=1", "没有勾选"},     {{"选择框99"}, "3", "uin=1", "选择框99"},
        {{"选择框1"}, "", "uin=1", "为空"}, {{"选择框6", "选择框1"}, "3", "uin=1; skey=a", nullptr},
    };
    for (const auto& c : cases) {
        auto got = planRun(c.ticked, c.field, web::oneAccount(c.cookies), 1000);
        if (c.says == nullptr) {
            ASSERT_TRUE(got.ok());
            EXPECT_EQ(got->perItem, 3);
            EXPECT_EQ(got->accounts.front().cookies, c.cookies);
            EXPECT_FALSE(got->namedAccounts);
            ASSERT_EQ(got->items.size(), 2u);
            EXPECT_EQ(got->items[0]->id, "cf-rename");
            continue;
        }
        ASSERT_FALSE(got.ok()) << c.says;
        EXPECT_NE(got.error().message.find(c.says), std::string::npos) << got.error().message;
    }
}

// Several accounts: a session fault names its account, a fault of the run is said once, and
// nothing is planned unless every account can send.
TEST(PlanRun, SeveralAccounts) {
    struct Case {
        std::vector<web::Account> accounts;
        std::string field;
        const char* says;     // nullptr: accepted
        const char* notSaid;  // not in the refusal
    };
    const web::Account big = web::makeAccount("大号", "uin=o10001; skey=a");
    const std::vector<Case> cases{
        {{}, "3", "没有勾选任何帐号", nullptr},
        {{big, web::makeAccount("小号2", "", "")}, "3", "帐号 小号2：尚未登录", "大号"},
        {{big, web::makeAccount("小号2", "uin=2\r\nX-Evil: 1", "")}, "3", "帐号 小号2：登录信息含有换行", "X-Evil"},
        {{big, web::makeAccount("小号2", "uin=o10002; skey=b", "")}, "0", "不能为 0", "帐号"},
        {{big, web::makeAccount("小号2", "uin=o10002; skey=b", "127.0.0.1:3128")}, "3", nullptr, nullptr},
        {{big}, "3", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        auto got = planRun({"cf-rename"}, c.field, c.accounts, 1000);
        if (c.says == nullptr) {
            ASSERT_TRUE(got.ok()) << got.error().message;
            ASSERT_EQ(got->accounts.size(), c.accounts.size());
            EXPECT_EQ(got->accounts.back().proxy, c.accounts.back().proxy);
            EXPECT_EQ(got->namedAccounts, c.accounts.size() > 1);
            continue;
        }
        ASSERT_FALSE(got.ok()) << c.says;
        EXPECT_NE(got.error().message.find(c.says), std::string::npos) << got.error().message;
        EXPECT_NE(got.error().message.find("未发送"), std::string::npos) << got.error().message;
        if (c.notSaid != nullptr) {
            EXPECT_EQ(got.error().message.find(c.notSaid), std::string::npos)
                << got.error().message;
        }
    }
}

}  // namespace
}  // namespace vellicor::mall

namespace vellicor::mall {
namespace {

TEST(TimeOfDay, Parse) {
    const std::vector<std::pair<std::string, int>> cases{
        {"00:00:00", 0},  {"12:00:00", 43200},   {"23:59:59", 86399},
        {"9:5:7", 32707}, {" 10:00:01 ", 36001}, {"24:00:00", -1},
        {"12:60:00", -1}, {"12:00", -1},         {"12:00:00:00", -1},
        {"", -1},         {"ab:cd:ef", -1},      {"123:00:00", -1},
        {"12::00", -1},   {"-1:00:00", -1},
    };
    for (const auto& [text, seconds] : cases) {
        auto got = schedule::parseTimeOfDay(text);
        ASSERT_EQ(got.ok(), seconds >= 0) << text;
        if (got.ok()) {
            EXPECT_EQ(got->hour * 3600 + got->minute * 60 + got->second, seconds) << text;
        }
    }
}

}  // namespace
}  // namespace vellicor::mall
