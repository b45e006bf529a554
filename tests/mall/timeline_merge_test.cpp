// Several machines' CSV files of one opening read back into one picture, a lane per machine,
// and the files that share no time 0 with the others refused by name.
#include "mall/timeline_merge.h"

#include <gtest/gtest.h>

namespace vellicor::mall {
namespace {

using namespace std::chrono_literals;

// 2024-01-01 12:00:00 at UTC+8.
const std::chrono::system_clock::time_point kOpening{std::chrono::seconds(1704081600)};

std::string machineCsv(const std::string& name, std::chrono::nanoseconds oneWay,
                       std::chrono::nanoseconds firstLeft) {
    Timeline t;
    t.origin = TimelineOrigin::MallOpening;
    t.opening = kOpening;
    t.machine = name;
    t.reach = TimelineReach{oneWay, oneWay - 1ms, oneWay + 1ms};
    t.lanes.push_back({"小号", "cf-rename", "改名", std::nullopt});
    t.rows.push_back({0, 1, 1, firstLeft, firstLeft + 20ms, OutcomeKind::Popup});
    t.rows.push_back({0, 2, 1, firstLeft + 1ms, firstLeft + 21ms, OutcomeKind::SoldOut});
    return timelineCsv(t);
}

TEST(TimelineMerge, TwoMachinesAreTwoLanesTheFirstToReachOnTop) {
    // 上海 sends later but is nearer: its first request reaches the mall first.
    auto merged = mergeTimelines(
        {{"bj.csv", machineCsv("北京", 8ms, 1ms)}, {"sh.csv", machineCsv("上海", 2ms, 3ms)}});
    ASSERT_TRUE(merged.ok()) << merged.error().message;
    const Timeline& t = merged->picture;
    ASSERT_EQ(t.lanes.size(), 2u);
    EXPECT_EQ(t.lanes[0].item, "上海");
    EXPECT_EQ(t.lanes[1].item, "北京");
    ASSERT_EQ(t.rows.size(), 4u);
    for (const TimelineRow& row : t.rows) {
        // Each machine keeps its own way to the mall.
        EXPECT_EQ(*t.reached(row) - *row.left, row.lane == 0 ? 2ms : 8ms);
    }
    EXPECT_EQ(merged->lines,
              (std::vector<std::string>{"上海：首个请求到达 5.000 ms，发出 2 次，成功 1 次",
                                        "北京：首个请求到达 9.000 ms，发出 2 次，成功 1 次"}));
    EXPECT_EQ(std::count(merged->csv.begin(), merged->csv.end(), '\n'), 5);
    const std::string svg = mergedTimelineSvg(*merged);
    EXPECT_NE(svg.find("2 台机器，4 次请求；最先：上海"), std::string::npos);
    EXPECT_NE(svg.find(">北京（2）<"), std::string::npos);
}

TEST(TimelineMerge, FilesThatShareNoTimeZeroAreRefusedByName) {
    const std::string first = machineCsv("北京", 8ms, 1ms);
    const std::string second = machineCsv("上海", 2ms, 3ms);
    auto swap = [](std::string text, const std::string& from, const std::string& to) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
            text.replace(at, from.size(), to);
            at += to.size();
        }
        return text;
    };
    const std::string header = std::string(kTimelineCsvHeader) + "\n";
    const struct {
        const char* what;
        std::string text;
        const char* said;
    } cases[] = {
        {"another frame", swap(second, "mall_clock", "local_clock"), "时间起点 local_clock"},
        {"another opening", swap(second, "T04:00:00Z", "T04:00:01Z"),
         "开门时刻 2024-01-01T04:00:01Z"},
        {"the same machine", swap(second, "上海", "北京"), "机器名"},
        {"the old format", swap(second, ",machine,opening,frame\n", "\n"), "表头不符"},
        {"not a CSV of runs", "a,b\n1,2\n", "表头不符"},
        {"no rows", header, "没有请求行"},
        {"a frame not known", swap(second, "mall_clock", "sun_dial"), "时间起点 \"sun_dial\" 不明"},
        {"a time that is no number", swap(second, "23.000", "soon"), "第 2 行无法读取"},
        {"a row cut short", header + ",cf-rename,改名,1,1\n", "第 2 行的列数"},
        {"a row of another machine", second + swap(second.substr(header.size()), "上海", "广州"),
         "第 4 行的机器"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto merged = mergeTimelines({{"bj.csv", first}, {"other.csv", c.text}});
        ASSERT_FALSE(merged.ok());
        EXPECT_NE(merged.error().message.find("\"other.csv\""), std::string::npos)
            << merged.error().message;
        EXPECT_NE(merged.error().message.find(c.said), std::string::npos) << merged.error().message;
    }
}

}  // namespace
}  // namespace vellicor::mall
