#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <utility>

#include "doubles.h"

namespace vellicor {
namespace {

using namespace std::chrono_literals;

using FakeBoxes = test::RecordingBoxes;

TEST(MessageBox, CaptionAndModality) {
    struct Case {
        unsigned flags;
        std::optional<std::string> caption;
        unsigned expectFlags;
        std::string expectCaption;
    };
    const Case cases[] = {
        {0, std::nullopt, mbflags::TaskModal, "信息："},
        {mbflags::YesNo, std::string("更新"), mbflags::YesNo | mbflags::TaskModal, "更新"},
        {mbflags::IconError, std::string(), mbflags::IconError | mbflags::TaskModal, "信息："},
        {mbflags::SystemModal | mbflags::OkCancel, std::nullopt,
         mbflags::SystemModal | mbflags::OkCancel, "信息："},
    };
    for (const Case& c : cases) {
        FakeBoxes boxes;
        messageBox(boxes, "text", c.flags, c.caption);
        ASSERT_EQ(boxes.shown().size(), 1u);
        EXPECT_EQ(boxes.shown()[0].text, "text");
        EXPECT_EQ(boxes.shown()[0].flags, c.expectFlags) << c.flags;
        EXPECT_EQ(boxes.shown()[0].caption, c.expectCaption) << c.flags;
    }
}

TEST(MessageBox, AnswersOutsideTheKnownCodesReadAsOk) {
    const std::pair<int, int> cases[] = {
        {AnswerOk, 0},  {AnswerCancel, 1}, {AnswerAbort, 2}, {AnswerRetry, 3}, {AnswerIgnore, 4},
        {AnswerYes, 5}, {AnswerNo, 6},     {7, 0},           {-1, 0},          {1000, 0}};
    for (const auto& [given, expected] : cases) {
        FakeBoxes boxes;
        boxes.answerWith(given);
        EXPECT_EQ(messageBox(boxes, "?", mbflags::YesNoCancel), expected) << given;
    }
}

TEST(RuntimeError, ReportTextAndExitCode) {
    EXPECT_EQ(runtimeErrorText("载入启动窗口失败"),
              "运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n");
    EXPECT_EQ(allocationFailureMessage(4096), "分配 4096 字节内存失败!");
    FakeBoxes boxes;
    EXPECT_EQ(reportRuntimeError(boxes, kWindowLoadFailed), -1);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, runtimeErrorText(kWindowLoadFailed));
    EXPECT_EQ(boxes.shown()[0].caption, "信息：");
}

TEST(RuntimeErrorDeathTest, FatalFailureReportsAndEndsWithMinusOne) {
    EXPECT_EXIT(
        {
            setFatalReporter([](const std::string& text) { fputs(text.c_str(), stderr); });
            failFatally(allocationFailureMessage(123456));
        },
        testing::ExitedWithCode(255), "123456");
}

TEST(DateValue, DaysSince1899WithTimeAsFraction) {
    struct Case {
        long long utcSeconds;
        int offset;
        double value;
        int h, m, s;
    };
    const Case cases[] = {
        {0, 0, 25569.0, 0, 0, 0},                             // 1970-01-01 00:00
        {1704067200, 8 * 3600, 45292.0 + 8.0 / 24, 8, 0, 0},  // 2024-01-01 08:00 Beijing
        {1704067200 + 86399, 0, 45292.0 + 86399.0 / 86400, 23, 59, 59},
        {-2209161600, 0, 0.0, 0, 0, 0},  // 1899-12-30 00:00
        {1704067200 + 12 * 3600 + 34 * 60 + 56, 0, 45292.0 + 45296.0 / 86400, 12, 34, 56},
    };
    for (const Case& c : cases) {
        // Fractions of a second are dropped, not rounded up.
        MockClock clock(Clock::WallTime{} + std::chrono::seconds(c.utcSeconds) + 999ms, c.offset);
        const DateValue value = currentDateValue(clock);
        EXPECT_NEAR(value, c.value, 1e-9) << c.utcSeconds;
        EXPECT_EQ(dateHour(value), c.h) << c.utcSeconds;
        EXPECT_EQ(dateMinute(value), c.m) << c.utcSeconds;
        EXPECT_EQ(dateSecond(value), c.s) << c.utcSeconds;
    }
}

}  // namespace
}  // namespace vellicor
