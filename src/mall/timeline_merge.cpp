#include "mall/timeline_merge.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "platform/quote.h"

namespace vellicor::mall {
namespace {

using std::chrono::nanoseconds;

constexpr std::size_t kColumns = 15;
enum Column : std::size_t {
    kWorker = 3,
    kAttempt = 4,
    kLeft = 5,
    kReached = 6,
    kEarliest = 7,
    kLatest = 8,
    kAnswered = 9,
    kOutcome = 10,
    kMachine = 12,
    kOpening = 13,
    kFrame = 14,
};

struct Record {
    std::vector<std::string> fields;
    std::string raw;  // as the file has it, its line end included
    int line = 0;     // where it starts
};

// RFC 4180 records: a quoted field may hold commas, doubled quotes and line breaks.
std::vector<Record> readRecords(std::string_view text) {
    std::vector<Record> out;
    std::size_t i = 0;
    int line = 1;
    while (i < text.size()) {
        Record r;
        r.line = line;
        const std::size_t start = i;
        std::string field;
        bool quoted = false;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\n') {
                ++line;
            }
            if (quoted) {
                if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    field += c;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == ',') {
                r.fields.push_back(std::move(field));
                field.clear();
            } else if (c == '\n') {
                ++i;
                break;
            } else if (c != '\r') {
                field += c;
            }
        }
        r.fields.push_back(std::move(field));
        r.raw = std::string(text.substr(start, i - start));
        if (!r.raw.ends_with('\n')) {
            r.raw += '\n';
        }
        out.push_back(std::move(r));
    }
    return out;
}

// Milliseconds with decimals, as the CSV writes them; empty stays empty.
bool readMillis(const std::string& text, std::optional<nanoseconds>& out) {
    if (text.empty()) {
        out.reset();
        return true;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return false;
    }
    out = nanoseconds(std::llround(value * 1e6));
    return true;
}

bool readInt(const std::string& text, int& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::optional<OutcomeKind> outcomeOf(const std::string& key) {
    for (int k = 0; k < kOutcomeKinds; ++k) {
        if (outcomeKey(static_cast<OutcomeKind>(k)) == key) {
            return static_cast<OutcomeKind>(k);
        }
    }
    return std::nullopt;
}

struct Times {
    std::optional<nanoseconds> left, reached, earliest, latest, answered;
};

std::optional<TimelineRow> rowOf(const Record& r, std::uint32_t lane, Times& times) {
    TimelineRow row;
    row.lane = lane;
    const auto& f = r.fields;
    if (!readInt(f[kWorker], row.worker) || !readInt(f[kAttempt], row.attempt) ||
        !readMillis(f[kLeft], times.left) || !readMillis(f[kReached], times.reached) ||
        !readMillis(f[kEarliest], times.earliest) || !readMillis(f[kLatest], times.latest) ||
        !readMillis(f[kAnswered], times.answered)) {
        return std::nullopt;
    }
    row.left = times.left;
    row.answered = times.answered;
    if (row.answered) {
        const auto kind = outcomeOf(f[kOutcome]);
        if (!kind) {
            return std::nullopt;
        }
        row.kind = *kind;
    }
    return row;
}

Error refused(const std::string& path, const std::string& why) {
    return makeError(ErrorCode::BadInput, "无法合并 " + quoteBytes(path) + "：" + why);
}

// One file's rows into a lane of its own; its machine, opening and frame in `first`.
Status readFile(const TimelineFile& file, std::uint32_t lane, Timeline& into, Record& first,
                std::string& csv) {
    const std::vector<Record> records = readRecords(file.text);
    if (records.empty() || records.front().raw != std::string(kTimelineCsvHeader) + '\n') {
        return refused(file.path, "不是时间线 CSV（表头不符，或是旧的格式）");
    }
    if (records.size() < 2) {
        return refused(file.path, "没有请求行");
    }
    first = records[1];
    TimelineLane machine;
    for (std::size_t k = 1; k < records.size(); ++k) {
        const Record& r = records[k];
        const std::string where = "第 " + std::to_string(r.line) + " 行";
        if (r.fields.size() != kColumns) {
            return refused(file.path, where + "的列数不是 " + std::to_string(kColumns));
        }
        if (r.fields[kMachine] != first.fields[kMachine] ||
            r.fields[kOpening] != first.fields[kOpening] ||
            r.fields[kFrame] != first.fields[kFrame]) {
            return refused(file.path, where + "的机器、开门时刻或时间起点与第一行不同");
        }
        Times times;
        auto row = rowOf(r, lane, times);
        if (!row) {
            return refused(file.path, where + "无法读取");
        }
        if (!machine.reach && times.left && times.reached && times.earliest && times.latest) {
            machine.reach =
                TimelineReach{*times.reached - *times.left, *times.earliest - *times.left,
                              *times.latest - *times.left};
        }
        into.rows.push_back(*row);
        csv += r.raw;
    }
    if (!timelineOriginOf(first.fields[kFrame])) {
        return refused(file.path, "时间起点 " + quoteBytes(first.fields[kFrame]) + " 不明");
    }
    machine.item = first.fields[kMachine];
    into.lanes.push_back(std::move(machine));
    return Ok{};
}

// When the lane's first request reached the mall, or left where the way is not known.
std::optional<nanoseconds> firstOf(const Timeline& t, std::uint32_t lane) {
    std::optional<nanoseconds> first;
    for (const TimelineRow& row : t.rows) {
        const auto at =
            row.lane == lane ? (t.reached(row) ? t.reached(row) : row.left) : std::nullopt;
        if (at && (!first || *at < *first)) {
            first = at;
        }
    }
    return first;
}

std::string millisText(nanoseconds value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(value.count()) / 1e6);
    return buf;
}

// The lanes put in the order their first requests came, the rows following them.
void orderByFirst(MergedTimeline& m) {
    Timeline& t = m.picture;
    std::vector<std::optional<nanoseconds>> firsts;
    for (std::uint32_t k = 0; k < t.lanes.size(); ++k) {
        firsts.push_back(firstOf(t, k));
    }
    std::vector<std::uint32_t> order(t.lanes.size());
    std::iota(order.begin(), order.end(), 0U);
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) {
        return firsts[a] && (!firsts[b] || *firsts[a] < *firsts[b]);
    });
    std::vector<std::uint32_t> place(order.size());
    std::vector<TimelineLane> lanes;
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        place[order[k]] = k;
        lanes.push_back(t.lanes[order[k]]);
        std::size_t sent = 0, won = 0;
        for (const TimelineRow& row : t.rows) {
            if (row.lane == order[k]) {
                sent += row.left ? 1 : 0;
                won += row.answered && row.kind == OutcomeKind::Popup ? 1 : 0;
            }
        }
        const auto& first = firsts[order[k]];
        const bool reached = lanes.back().reach.has_value();
        m.lines.push_back(lanes.back().item + "：" +
                          (first ? std::string(reached ? "首个请求到达 " : "首个请求发出 ") +
                                       millisText(*first) + " ms"
                                 : std::string("没有发出请求")) +
                          "，发出 " + std::to_string(sent) + " 次，成功 " + std::to_string(won) +
                          " 次");
    }
    for (TimelineRow& row : t.rows) {
        row.lane = place[row.lane];
    }
    t.lanes = std::move(lanes);
}

}  // namespace

Result<MergedTimeline> mergeTimelines(const std::vector<TimelineFile>& files) {
    MergedTimeline m;
    m.csv = std::string(kTimelineCsvHeader) + '\n';
    std::vector<Record> firsts;
    for (const TimelineFile& file : files) {
        Record first;
        const auto lane = static_cast<std::uint32_t>(m.picture.lanes.size());
        if (auto st = readFile(file, lane, m.picture, first, m.csv); !st) {
            return st.error();
        }
        for (std::size_t k = 0; k < firsts.size(); ++k) {
            const std::string other = quoteBytes(files[k].path);
            for (const auto& [column, what] :
                 {std::pair{kFrame, "时间起点"}, std::pair{kOpening, "开门时刻"}}) {
                if (first.fields[column] != firsts[k].fields[column]) {
                    return refused(file.path, std::string(what) + " " + first.fields[column] +
                                                  " 与 " + other + " 的 " +
                                                  firsts[k].fields[column] + " 不同");
                }
            }
            if (first.fields[kMachine] == firsts[k].fields[kMachine]) {
                return refused(file.path, "机器名 " + quoteBytes(first.fields[kMachine]) + " 与 " +
                                              other + " 的相同，请用 --name 区分");
            }
        }
        firsts.push_back(std::move(first));
    }
    if (firsts.empty()) {
        return makeError(ErrorCode::BadInput, "没有要合并的文件");
    }
    m.picture.origin = *timelineOriginOf(firsts.front().fields[kFrame]);
    orderByFirst(m);
    return m;
}

std::string mergedTimelineSvg(const MergedTimeline& merged) {
    const Timeline& t = merged.picture;
    std::string what =
        std::to_string(t.lanes.size()) + " 台机器，" + std::to_string(t.rows.size()) + " 次请求";
    if (!t.lanes.empty()) {
        what += "；最先：" + t.lanes.front().item;
    }
    return timelineLanesSvg(t, what);
}

}  // namespace vellicor::mall
