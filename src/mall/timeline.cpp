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
    frame.opening = aim.opening;
    if (aim.onMallClock && aim.estimate) {
        // Left at s on our clock is s - ahead on the mall's; taken at s - A there.
        const OffsetEstimate& e = *aim.estimate;
        frame.reach = TimelineReach{e.ahead() - e.arrival(), e.ahead() - e.arrivalUpper,
                                    e.ahead() - e.arrivalLower};
    }
    return frame;
}

const std::optional<TimelineReach>& Timeline::reachOf(const TimelineRow& row) const {
    const auto& own = lanes.at(row.lane).reach;
    return own ? own : reach;
}

std::optional<nanoseconds> Timeline::reached(const TimelineRow& row) const {
    const auto& way = reachOf(row);
    if (!row.left || !way) {
        return std::nullopt;
    }
    return *row.left + way->mid;
}

std::string_view timelineFrameKey(TimelineOrigin origin) {
    switch (origin) {
        case TimelineOrigin::MallOpening:
            return "mall_clock";
        case TimelineOrigin::LocalOpening:
            return "local_clock";
        case TimelineOrigin::FirstSend:
            return "first_request";
    }
    return "first_request";
}

std::optional<TimelineOrigin> timelineOriginOf(std::string_view key) {
    for (auto origin :
         {TimelineOrigin::MallOpening, TimelineOrigin::LocalOpening, TimelineOrigin::FirstSend}) {
        if (timelineFrameKey(origin) == key) {
            return origin;
        }
    }
    return std::nullopt;
}

std::string openingText(std::chrono::system_clock::time_point opening) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(opening);
    const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(seconds)};
    const std::chrono::hh_mm_ss time{seconds - std::chrono::floor<std::chrono::days>(seconds)};
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ", int(day.year()),
                  unsigned(day.month()), unsigned(day.day()), long(time.hours().count()),
                  long(time.minutes().count()), long(time.seconds().count()));
    return buf;
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
    std::string out = std::string(kTimelineCsvHeader) + '\n';
    out.reserve(out.size() + timeline.rows.size() * 128);
    // The same for every row: a merge of several files checks them row by row.
    const std::string run = ',' + csvField(timeline.machine) + ',' +
                            (timeline.opening ? openingText(*timeline.opening) : std::string()) +
                            ',' + std::string(timelineFrameKey(timeline.origin));
    for (const TimelineRow& row : timeline.rows) {
        const TimelineLane& lane = timeline.lanes.at(row.lane);
        std::optional<nanoseconds> earliest;
        std::optional<nanoseconds> latest;
        if (const auto& way = timeline.reachOf(row); row.left && way) {
            earliest = *row.left + way->earliest;
            latest = *row.left + way->latest;
        }
        out += csvField(lane.account) + ',' + csvField(lane.itemId) + ',' + csvField(lane.item) +
               ',' + std::to_string(row.worker) + ',' + std::to_string(row.attempt) + ',' +
               millis(row.left) + ',' + millis(timeline.reached(row)) + ',' + millis(earliest) +
               ',' + millis(latest) + ',' + millis(row.answered) + ',' +
               std::string(row.answered ? outcomeKey(row.kind) : std::string_view()) + ',' +
               csvField(row.answered ? outcomeLabel(row.kind) : std::string_view()) + run + '\n';
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
