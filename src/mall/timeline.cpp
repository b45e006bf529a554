#include "mall/timeline.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "mall/aim.h"
#include "platform/quote.h"

namespace vellicor::mall {
namespace {

using std::chrono::nanoseconds;

// Milliseconds with three decimals: the CSV's grain is a microsecond.
std::string millis(nanoseconds value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(value.count()) / 1e6);
    return buf;
}

std::string millis(const std::optional<nanoseconds>& value) {
    return value ? millis(*value) : std::string();
}

// Quoted where a comma, a quote or a line break would split the field; a name or a mall's
// text as a file can hold it.
std::string csvField(std::string_view raw) {
    const std::string text = fileText(raw);
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

}  // namespace

TimelineFrame timelineFrame(const FiringAim& aim) {
    TimelineFrame frame;
    frame.fireAfterOpening = aim.fireAt - aim.openingAt;
    frame.onMallClock = aim.onMallClock;
    if (aim.onMallClock && aim.estimate) {
        // Left at s on our clock is s - ahead on the mall's; taken at s - A there.
        const OffsetEstimate& e = *aim.estimate;
        frame.reach = TimelineReach{e.ahead() - e.arrival(), e.ahead() - e.arrivalUpper,
                                    e.ahead() - e.arrivalLower};
    }
    return frame;
}

std::optional<nanoseconds> Timeline::reached(const TimelineRow& row) const {
    if (!row.left || !reach) {
        return std::nullopt;
    }
    return *row.left + reach->mid;
}

std::string_view outcomeKey(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::NotOpen:
            return "not_open";
        case OutcomeKind::SoldOut:
            return "sold_out";
        case OutcomeKind::LotteryLoss:
            return "draw_lost";
        case OutcomeKind::Unmet:
            return "unmet";
        case OutcomeKind::Popup:
            return "won";
        case OutcomeKind::Refusal:
            return "refused";
        case OutcomeKind::Failed:
            return "failed";
        case OutcomeKind::Unrecognised:
            return "unrecognised";
        case OutcomeKind::Cancelled:
            return "cancelled";
        case OutcomeKind::Throttled:
            return "throttled";
        case OutcomeKind::Unknown:
            return "unknown";
    }
    return "unknown";
}

std::string timelineCsv(const Timeline& timeline) {
    std::string out =
        "account,item_id,item,worker,attempt,left_ms,reached_ms,reached_earliest_ms,"
        "reached_latest_ms,answered_ms,outcome,outcome_text\n";
    out.reserve(out.size() + timeline.rows.size() * 96);
    for (const TimelineRow& row : timeline.rows) {
        const TimelineLane& lane = timeline.lanes.at(row.lane);
        std::optional<nanoseconds> earliest;
        std::optional<nanoseconds> latest;
        if (row.left && timeline.reach) {
            earliest = *row.left + timeline.reach->earliest;
            latest = *row.left + timeline.reach->latest;
        }
        out += csvField(lane.account) + ',' + csvField(lane.itemId) + ',' + csvField(lane.item) +
               ',' + std::to_string(row.worker) + ',' + std::to_string(row.attempt) + ',' +
               millis(row.left) + ',' + millis(timeline.reached(row)) + ',' + millis(earliest) +
               ',' + millis(latest) + ',' + millis(row.answered) + ',' +
               std::string(row.answered ? outcomeKey(row.kind) : std::string_view()) + ',' +
               csvField(row.answered ? outcomeLabel(row.kind) : std::string_view()) + '\n';
    }
    return out;
}

std::optional<TimelineFormat> timelineFormatOf(std::string_view path) {
    const auto dot = path.rfind('.');
    const auto slash = path.find_last_of('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return std::nullopt;
    }
    std::string ext;
    for (char c : path.substr(dot + 1)) {
        ext += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (ext == "csv") {
        return TimelineFormat::Csv;
    }
    if (ext == "svg") {
        return TimelineFormat::Svg;
    }
    return std::nullopt;
}

Status writeTimeline(const Timeline& timeline, const std::string& path) {
    const auto format = timelineFormatOf(path);
    if (!format) {
        return makeError(ErrorCode::BadInput, "时间线文件须以 .csv 或 .svg 结尾：" + path);
    }
    return writeTimelineText(
        *format == TimelineFormat::Csv ? timelineCsv(timeline) : timelineSvg(timeline), path);
}

Status checkTimelineFile(const std::string& path) {
    if (!timelineFormatOf(path)) {
        return makeError(ErrorCode::BadInput, "--timeline 的文件须以 .csv 或 .svg 结尾：" + path);
    }
    const bool existed = std::filesystem::exists(path);
    {
        std::ofstream file(path, std::ios::binary | std::ios::app);
        if (!file) {
            return makeError(ErrorCode::Io, "无法写入时间线文件 " + path);
        }
    }
    if (!existed) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    return Ok{};
}

Status writeTimelineText(std::string_view text, const std::string& path) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file) {
        return makeError(ErrorCode::Io, "无法写入时间线文件 " + path);
    }
    return Ok{};
}

}  // namespace vellicor::mall
