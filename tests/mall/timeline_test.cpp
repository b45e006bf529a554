// A run's picture from its rows: the frame the aim gives it, the CSV's fields, the image's
// text escaped and its size at a run of 44 items x 1,000 requests.
#include "mall/timeline.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "mall/aim.h"

namespace vellicor::mall {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using WallTime = Clock::WallTime;

// 2024-01-01 11:59:50 at UTC+8.
const WallTime kNow = WallTime(std::chrono::seconds(1704038400 + 12 * 3600 - 10));

OffsetEstimate estimate(nanoseconds ahead, nanoseconds oneWay, nanoseconds halfWidth) {
    OffsetEstimate e;
    e.lower = ahead - halfWidth;
    e.upper = ahead + halfWidth;
    e.arrivalLower = ahead - oneWay - halfWidth;
    e.arrivalUpper = ahead - oneWay + halfWidth;
    return e;
}

// The aim sends so that the first request reaches the mall no sooner than the margin past
// the opening: the picture must put it there, whichever way the clocks stand.
TEST(Timeline, FrameOfTheAimPutsTheFirstArrivalAtTheMargin) {
    struct Case {
        const char* what;
        Result<OffsetEstimate> estimate;
        double marginMs;
        bool onMallClock;
        nanoseconds earliest;  // the first request's, since the opening
        nanoseconds latest;
    };
    const Case cases[] = {
        {"our clock ahead, 15 ms away", estimate(400ms, 15ms, 100us), 0.5, true, 500us, 700us},
        {"our clock behind, 30 ms away", estimate(-1250ms, 30ms, 100us), 2, true, 2ms, 2200us},
        {"a wide bound", estimate(3ms, 1ms, 2ms), 0.5, true, 500us, 4500us},
        {"no reading: counted on our clock",
         Result<OffsetEstimate>(makeError(ErrorCode::Timeout, "no answer")), 0.5, false, 0ns, 0ns},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MockClock clock(kNow);
        Config config = Config::defaults();
        config.timer.arrivalMarginMs = c.marginMs;
        const TimelineFrame frame =
            timelineFrame(aimFiring(config, clock, c.estimate, schedule::TimeOfDay{12, 0, 0}));
        EXPECT_EQ(frame.onMallClock, c.onMallClock);
        ASSERT_EQ(frame.reach.has_value(), c.onMallClock);
        if (!frame.reach) {
            EXPECT_EQ(frame.fireAfterOpening, 0ns);
            continue;
        }
        EXPECT_NEAR((frame.fireAfterOpening + frame.reach->earliest).count(), c.earliest.count(),
                    1000);
        EXPECT_NEAR((frame.fireAfterOpening + frame.reach->latest).count(), c.latest.count(), 1000);
        EXPECT_LE(frame.reach->earliest, frame.reach->mid);
        EXPECT_LE(frame.reach->mid, frame.reach->latest);
    }
}

Timeline oneLane(std::string item, std::string account = {}) {
    Timeline t;
    t.origin = TimelineOrigin::MallOpening;
    t.reach = TimelineReach{5ms, 4ms, 6ms};
    t.lanes.push_back({std::move(account), "cf-rename", std::move(item), std::nullopt});
    return t;
}

TEST(Timeline, CsvRowsAndQuoting) {
    struct Case {
        const char* what;
        Timeline timeline;
        TimelineRow row;
        std::string line;
    };
    TimelineRow answered{0, 3, 2, 1500us, 22ms, OutcomeKind::Popup};
    TimelineRow neverSent{0, 1, 0, std::nullopt, 7ms, OutcomeKind::Failed};
    TimelineRow neverEnded{0, 2, 1, -250us, std::nullopt, OutcomeKind::Cancelled};
    Timeline now = oneLane("改名");
    Timeline machine = oneLane("改名");
    machine.machine = "北京 2";
    machine.opening = kNow + 10s;
    now.origin = TimelineOrigin::FirstSend;
    now.reach.reset();
    const Case cases[] = {
        {"every time known", oneLane("改名"), answered,
         ",cf-rename,改名,3,2,1.500,6.500,5.500,7.500,22.000,won,提示框,,,mall_clock"},
        {"no estimate: no arrival", now, answered,
         ",cf-rename,改名,3,2,1.500,,,,22.000,won,提示框,,,first_request"},
        {"never sent", oneLane("改名"), neverSent,
         ",cf-rename,改名,1,0,,,,,7.000,failed,请求失败,,,mall_clock"},
        {"never ended, before the opening", oneLane("改名"), neverEnded,
         ",cf-rename,改名,2,1,-0.250,4.750,3.750,5.750,,,,,,mall_clock"},
        {"a caption with a comma and a quote", oneLane("a,\"b\""), answered,
         ",cf-rename,\"a,\"\"b\"\"\",3,2,1.500,6.500,5.500,7.500,22.000,won,提示框,,,mall_clock"},
        {"a machine and its opening", machine, answered,
         ",cf-rename,改名,3,2,1.500,6.500,5.500,7.500,22.000,won,提示框,北京 2,"
         "2024-01-01T04:00:00Z,mall_clock"},
        {"an account's name", oneLane("改名", "小号 1"), answered,
         "小号 1,cf-rename,改名,3,2,1.500,6.500,5.500,7.500,22.000,won,提示框,,,mall_clock"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Timeline t = c.timeline;
        t.rows.push_back(c.row);
        const std::string csv = timelineCsv(t);
        EXPECT_EQ(csv.substr(0, csv.find('\n')),
                  "account,item_id,item,worker,attempt,left_ms,reached_ms,reached_earliest_ms,"
                  "reached_latest_ms,answered_ms,outcome,outcome_text,machine,opening,frame");
        EXPECT_EQ(csv.substr(csv.find('\n') + 1), c.line + "\n");
    }
}

TEST(Timeline, FormatByExtension) {
    const std::pair<const char*, std::optional<TimelineFormat>> cases[] = {
        {"run.csv", TimelineFormat::Csv}, {"/tmp/a.b/RUN.SVG", TimelineFormat::Svg},
        {"run.png", std::nullopt},        {"run", std::nullopt},
        {"a.svg/run", std::nullopt},      {"run.csv.txt", std::nullopt},
    };
    for (const auto& [path, format] : cases) {
        EXPECT_EQ(timelineFormatOf(path), format) << path;
    }
}

// Text from the mall's catalogue or the user's accounts file stands for itself in the image,
// in the picture of every attempt and in the lanes of a large run alike.
TEST(Timeline, SvgTextIsEscaped) {
    for (const int rows : {3, 500}) {
        SCOPED_TRACE(rows);
        Timeline t = oneLane("<b>&\"x'", "</text><script>");
        for (int i = 0; i < rows; ++i) {
            t.rows.push_back({0, i + 1, 1, 1ms, 20ms + 1ms * i, OutcomeKind::NotOpen});
        }
        const std::string svg = timelineSvg(t);
        EXPECT_EQ(svg.find("<b>"), std::string::npos);
        EXPECT_EQ(svg.find("<script>"), std::string::npos);
        EXPECT_NE(svg.find("&lt;/text&gt;&lt;script&gt; &lt;b&gt;&amp;&quot;x&#39;"),
                  std::string::npos);
        // No bracket of the text left bare: each one opens or closes a tag.
        EXPECT_EQ(svg.rfind("<svg", 0), 0u);
        EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
        EXPECT_EQ(std::count(svg.begin(), svg.end(), '<'), std::count(svg.begin(), svg.end(), '>'));
    }
}

// What XML and a text file cannot hold, in an account's name or a mall's caption, is replaced
// in both files: the picture stays an XML document, the table plain UTF-8.
TEST(Timeline, NamesAndTextsFitEveryFile) {
    const std::pair<const char*, std::string> cases[] = {
        {"U+FFFE", "\xEF\xBF\xBE"}, {"U+FFFF", "\xEF\xBF\xBF"},           {"a C0 control", "\x01"},
        {"escape", "\x1b"},         {"a lone surrogate", "\xED\xA0\x80"}, {"a stray byte", "\xFF"},
    };
    for (const auto& [what, bad] : cases) {
        SCOPED_TRACE(what);
        Timeline t = oneLane("改名" + bad, "小号" + bad + "1");
        t.rows.push_back({0, 1, 1, 1ms, 20ms, OutcomeKind::NotOpen});
        for (const std::string& file : {timelineSvg(t), timelineCsv(t)}) {
            EXPECT_EQ(file.find(bad), std::string::npos);
            EXPECT_NE(file.find("小号\xEF\xBF\xBD"), std::string::npos);
        }
    }
}

// 44 items x 1,000 requests, most answered within a few hundred milliseconds, a few stragglers
// half a minute later: one lane each, a file of at most a few hundred kilobytes, and the
// stragglers counted at the window's edge instead of stretching it.
TEST(Timeline, LargeRunIsOneLanePerItemAndStaysSmall) {
    Timeline t;
    t.origin = TimelineOrigin::MallOpening;
    t.reach = TimelineReach{15ms, 14ms, 16ms};
    constexpr int kItems = 44;
    constexpr int kPerItem = 1000;
    const OutcomeKind kinds[] = {OutcomeKind::NotOpen, OutcomeKind::SoldOut, OutcomeKind::Popup,
                                 OutcomeKind::Throttled, OutcomeKind::Failed};
    for (int i = 0; i < kItems; ++i) {
        t.lanes.push_back(
            {"", "item-" + std::to_string(i), "商品" + std::to_string(i) + "号", std::nullopt});
        for (int w = 0; w < kPerItem; ++w) {
            const nanoseconds left = -14ms + 2us * w;
            const nanoseconds answered = w % 250 == 7 ? 30s : 20ms + 370us * ((w * 37 + i) % 1000);
            t.rows.push_back({static_cast<std::uint32_t>(i), w + 1, 1, left, answered,
                              kinds[static_cast<std::size_t>((w + i) % 5)]});
        }
    }
    const std::string svg = timelineSvg(t);
    EXPECT_LT(svg.size(), 400u * 1024) << "bytes";
    for (int i = 0; i < kItems; ++i) {
        const std::string label = ">商品" + std::to_string(i) + "号（1000）</text>";
        EXPECT_NE(svg.find(label), std::string::npos) << label;
        EXPECT_EQ(svg.find(label), svg.rfind(label)) << "one lane: " << label;
    }
    // Four stragglers a lane, past the window.
    int edges = 0;
    for (auto at = svg.find("‹0  4›"); at != std::string::npos; at = svg.find("‹0  4›", at + 1)) {
        ++edges;
    }
    EXPECT_EQ(edges, kItems);
    EXPECT_EQ(svg.find("30000 ms"), std::string::npos) << "the window kept to the crowd";
}

}  // namespace
}  // namespace vellicor::mall
