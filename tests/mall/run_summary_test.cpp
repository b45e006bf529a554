// What a run counts and the lines that close it: replies timed from the first send, outcome
// lines by kind, items without a reply said as such.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "mall/catalogue.h"
#include "mall/run_summary.h"

namespace vellicor::mall {
namespace {

using std::chrono::microseconds;

struct SummaryCase {
    const char* name;
    int perItem;
    std::function<void(RunSummary&)> events;
    int sends;
    bool cancelled;
    const char* line;
};

// A heading, one line per item, the totals last: 44 items stay readable.
TEST(RunSummary, CountsWhatTheRunSawAndSaysItALineAnItem) {
    const std::vector<const Item*> plan = {findItem("cf-rename"), findItem("cf-body-armour")};
    const SummaryCase cases[] = {
        {"nothing came back", 2, [](RunSummary&) {}, 4, false,
         "各商品结果（时间自首次发送起）：\r\n"
         "  [改名] 无结果，没有收到回复\r\n"
         "  [防弹衣] 无结果，没有收到回复\r\n"
         "兑换结束：共 4 个请求（发送 4 次）"},
        {"replies and lines of both kinds", 2,
         [](RunSummary& s) {
             s.noteReply(0, microseconds(1500));
             s.noteReply(0, microseconds(4300));
             s.noteReply(1, microseconds(900));
             s.noteOutcome(0, OutcomeKind::Popup);
             s.noteOutcome(0, OutcomeKind::SoldOut);
             s.noteOutcome(1, OutcomeKind::SoldOut);
             s.noteOutcome(1, OutcomeKind::SoldOut);
         },
         5, false,
         "各商品结果（时间自首次发送起）：\r\n"
         "  [改名] 已兑换完 1，提示框 1，首个回复 1.5 ms，最后回复 4.3 ms\r\n"
         "  [防弹衣] 已兑换完 2，首个回复 0.9 ms，最后回复 0.9 ms\r\n"
         "兑换结束：共 4 个请求（发送 5 次）"},
        {"stopped before the instant", 3,
         [](RunSummary& s) {
             for (int i = 0; i < 3; ++i) {
                 s.noteOutcome(0, OutcomeKind::Cancelled);
             }
         },
         0, true,
         "各商品结果（时间自首次发送起）：\r\n"
         "  [改名] 已取消 3，没有收到回复\r\n"
         "  [防弹衣] 无结果，没有收到回复\r\n"
         "兑换已停止：共 6 个请求（发送 0 次）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunSummary summary = RunSummary::forPlan(plan, c.perItem);
        c.events(summary);
        summary.sends = c.sends;
        summary.cancelled = c.cancelled;
        EXPECT_EQ(summaryLine(summary), c.line);
    }
}

TEST(RunSummary, RepliesAndLinesAreCountedPerItem) {
    RunSummary summary =
        RunSummary::forPlan({findItem("cf-rename"), findItem("cf-body-armour")}, 1);
    summary.noteReply(1, microseconds(10));
    summary.noteReply(1, microseconds(30));
    summary.noteOutcome(1, OutcomeKind::Failed);
    EXPECT_EQ(summary.items[0].replies, 0);
    EXPECT_EQ(summary.items[1].replies, 2);
    EXPECT_EQ(summary.items[1].count(OutcomeKind::Failed), 1);
    EXPECT_EQ(summary.lines, 1);
    EXPECT_EQ(summary.requests, 2);
}

// Several accounts: every account's requests counted, each account's lines on its own after
// the items'; one account's summary is as it was.
TEST(RunSummary, EachAccountCountedWhenSeveral) {
    const std::vector<const Item*> plan = {findItem("cf-rename")};
    RunSummary one = RunSummary::forPlan(plan, 2, {"大号"});
    one.noteOutcome(0, OutcomeKind::Popup, 0);
    EXPECT_TRUE(one.accounts.empty());
    EXPECT_EQ(summaryLine(one),
              "各商品结果（时间自首次发送起）：\r\n"
              "  [改名] 提示框 1，没有收到回复\r\n"
              "兑换结束：共 2 个请求（发送 0 次）");
    RunSummary two = RunSummary::forPlan(plan, 2, {"大号", "小号2"});
    two.noteOutcome(0, OutcomeKind::Popup, 1);
    two.noteOutcome(0, OutcomeKind::Unmet, 0);
    two.noteOutcome(0, OutcomeKind::Unmet, 1);
    EXPECT_EQ(summaryLine(two),
              "各商品结果（时间自首次发送起）：\r\n"
              "  [改名] 未满足条件 2，提示框 1，没有收到回复\r\n"
              "  帐号 大号 未满足条件 1\r\n"
              "  帐号 小号2 未满足条件 1，提示框 1\r\n"
              "兑换结束：共 4 个请求（发送 0 次）");
}

}  // namespace
}  // namespace vellicor::mall
