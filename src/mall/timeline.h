#pragma once
// The picture of one run: for each account and item, when each request left, when it
// reached the mall and when and how it was answered, all counted from the opening. Written
// as CSV (one row per request attempt) or as an SVG image; neither needs a window.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mall/outcome.h"
#include "platform/result.h"

namespace vellicor::mall {

struct FiringAim;

// The way to the mall as the run's estimate of the mall's clock tells it: a request that
// left at t (on the mall's clock) reached it at t + mid, within [t + earliest, t + latest).
struct TimelineReach {
    std::chrono::nanoseconds mid{0};
    std::chrono::nanoseconds earliest{0};
    std::chrono::nanoseconds latest{0};
};

// Where a timed run's opening stands against its instant, taken from its aim.
struct TimelineFrame {
    // The instant the run writes its first request, past the moment the mall's clock (or,
    // without an estimate, the computer's) shows the set second. Negative: written before it.
    std::chrono::nanoseconds fireAfterOpening{0};
    bool onMallClock = false;
    std::optional<TimelineReach> reach;  // empty without an estimate
    // The set second's start as the clock aimed by reads it.
    std::optional<std::chrono::system_clock::time_point> opening;
};

// The frame of a run aimed by `aim`.
TimelineFrame timelineFrame(const FiringAim& aim);

// What time 0 of a timeline is.
enum class TimelineOrigin {
    MallOpening,   // the set second on the mall's clock, by the run's estimate
    LocalOpening,  // the set second on the computer's clock (no estimate)
    FirstSend,     // a run of now: its first request
};

// One account and item: the requests of that item sent for that account.
struct TimelineLane {
    std::string account;  // empty in a run of one account
    std::string itemId;
    std::string item;  // its caption
    // The way to the mall of this lane alone, over the timeline's: in a picture of several
    // machines each has its own.
    std::optional<TimelineReach> reach;
};

// One request attempt. Times since the timeline's origin; `left` empty for a worker that
// ended before it sent anything.
struct TimelineRow {
    std::uint32_t lane = 0;
    int worker = 0;   // its number within the item, as the lines say it ("#3")
    int attempt = 0;  // 1 for the first request, 0 for none sent
    std::optional<std::chrono::nanoseconds> left;
    // When the attempt ended: its answer came, or the run gave up on it (failed, unknown,
    // cancelled). Empty if it never did.
    std::optional<std::chrono::nanoseconds> answered;
    OutcomeKind kind = OutcomeKind::Cancelled;
};

struct Timeline {
    TimelineOrigin origin = TimelineOrigin::FirstSend;
    std::optional<TimelineReach> reach;  // only on the mall's clock
    // The set second's start, by the clock the origin names; empty in a run of now.
    std::optional<std::chrono::system_clock::time_point> opening;
    std::string machine;  // the computer that ran it, so that runs of several can be merged
    std::vector<TimelineLane> lanes;
    std::vector<TimelineRow> rows;  // by lane, worker and attempt
    std::size_t unrecorded = 0;     // attempts past what the run keeps

    // When the row's request reached the mall, by the estimate: empty without one.
    std::optional<std::chrono::nanoseconds> reached(const TimelineRow& row) const;
    // The way to the mall the row went by: its lane's, else the timeline's.
    const std::optional<TimelineReach>& reachOf(const TimelineRow& row) const;
};

// "won", "sold_out", "not_open", ...: the outcome as a CSV column names it.
std::string_view outcomeKey(OutcomeKind kind);

// One header row, then one row per attempt. The columns, times in milliseconds since the
// origin with three decimals, an empty field where a time is unknown:
// account, item_id, item, worker, attempt, left_ms, reached_ms, reached_earliest_ms,
// reached_latest_ms, answered_ms, outcome (outcomeKey), outcome_text (the summary's word),
// machine, opening (UTC, "2026-12-09T12:00:00Z", empty in a run of now), frame
// (timelineFrameKey: what time 0 is).
std::string timelineCsv(const Timeline& timeline);
inline constexpr std::string_view kTimelineCsvHeader =
    "account,item_id,item,worker,attempt,left_ms,reached_ms,reached_earliest_ms,"
    "reached_latest_ms,answered_ms,outcome,outcome_text,machine,opening,frame";

// "mall_clock", "local_clock" or "first_request".
std::string_view timelineFrameKey(TimelineOrigin origin);
std::optional<TimelineOrigin> timelineOriginOf(std::string_view key);
// The opening as the CSV writes it.
std::string openingText(std::chrono::system_clock::time_point opening);

// An SVG image: each attempt on a line of its own for a small run; for a large one each lane
// a strip of where the requests left, reached and were answered, a window around the opening
// with what falls outside counted at its edges.
std::string timelineSvg(const Timeline& timeline);
// A strip per lane whatever the run's size, under the title `what`.
std::string timelineLanesSvg(const Timeline& timeline, const std::string& what);

// At most this many attempts get a line of their own.
inline constexpr std::size_t kTimelineRowsDrawn = 200;

enum class TimelineFormat { Csv, Svg };

// By the file's extension (.csv or .svg, any case); empty for any other.
std::optional<TimelineFormat> timelineFormatOf(std::string_view path);

// Writes the timeline to `path` in the format its extension names.
Status writeTimeline(const Timeline& timeline, const std::string& path);
// Whether `path` can take a timeline, asked before a run sends anything: a name of a known
// format, whose file can be created or written. Leaves no file it did not find.
Status checkTimelineFile(const std::string& path);
// Writes a text made already (timelineCsv, timelineSvg) to `path`.
Status writeTimelineText(std::string_view text, const std::string& path);

}  // namespace vellicor::mall
