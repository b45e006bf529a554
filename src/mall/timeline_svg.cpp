// The timeline as an SVG image. A small run gets a line per attempt (left, reached, answered,
// coloured by its outcome); a large one a lane per account and item with three strips, so that
// 44,000 attempts stay a file of a few hundred kilobytes and lanes a reader can compare.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "mall/timeline.h"
#include "platform/html_text.h"
#include "platform/quote.h"

namespace vellicor::mall {
namespace {

using std::chrono::nanoseconds;

double ms(nanoseconds value) {
    return static_cast<double>(value.count()) / 1e6;
}

// A coordinate or a length: one decimal, none when it is whole.
std::string num(double value) {
    char buf[32];
    const double rounded = std::round(value * 10.0) / 10.0;
    if (rounded == std::floor(rounded)) {
        std::snprintf(buf, sizeof buf, "%.0f", rounded);
    } else {
        std::snprintf(buf, sizeof buf, "%.1f", rounded);
    }
    return buf;
}

std::string twoPlaces(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    return buf;
}

const char* colourOf(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::Popup:
            return "#2ca02c";
        case OutcomeKind::LotteryLoss:
            return "#6baed6";
        case OutcomeKind::SoldOut:
            return "#7f7f7f";
        case OutcomeKind::NotOpen:
            return "#ff9f1c";
        case OutcomeKind::Throttled:
            return "#d62728";
        case OutcomeKind::Failed:
            return "#8c1c13";
        case OutcomeKind::Unknown:
            return "#222222";
        case OutcomeKind::Cancelled:
            return "#c7c7c7";
        case OutcomeKind::Unmet:
            return "#bcbd22";
        case OutcomeKind::Refusal:
            return "#e377c2";
        case OutcomeKind::Unrecognised:
            return "#8c564b";
    }
    return "#000000";
}

constexpr const char* kLeftColour = "#4a6fa5";
constexpr const char* kReachedColour = "#17a2a2";
constexpr const char* kOpeningColour = "#d00000";

// The time window drawn, in milliseconds since the origin, and where it lands.
struct Axis {
    double lo = 0;
    double hi = 1;
    double x = 0;
    double width = 1;
    double at(double msValue) const { return x + (msValue - lo) / (hi - lo) * width; }
};

std::vector<double> allTimes(const Timeline& t) {
    std::vector<double> times;
    times.reserve(t.rows.size() * 3);
    for (const TimelineRow& row : t.rows) {
        for (const auto& v : {row.left, t.reached(row), row.answered}) {
            if (v) {
                times.push_back(ms(*v));
            }
        }
    }
    return times;
}

// Around the opening: every time, or with `trim` the middle of them, the few far out counted
// at the edges instead of squeezing the rest into a few pixels.
Axis windowOf(std::vector<double> times, bool trim) {
    Axis axis;
    std::sort(times.begin(), times.end());
    double lo = 0;
    double hi = 0;
    if (!times.empty()) {
        const auto pick = [&times](double q) {
            return times[static_cast<std::size_t>(q * static_cast<double>(times.size() - 1))];
        };
        lo = std::min(0.0, trim ? pick(0.005) : times.front());
        hi = std::max(0.0, trim ? pick(0.995) : times.back());
    }
    const double span = std::max(hi - lo, 1.0);
    axis.lo = lo - span * 0.04;
    axis.hi = hi + span * 0.04;
    return axis;
}

double tickStep(double span) {
    const double raw = span / 8;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * power >= raw) {
            return m * power;
        }
    }
    return 10 * power;
}

class Svg {
  public:
    Svg(double width, double height) {
        out_ = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" +
               num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
               "\" font-family=\"sans-serif\" font-size=\"11\">\n<rect width=\"100%\" "
               "height=\"100%\" fill=\"#ffffff\"/>\n";
    }
    void raw(const std::string& text) { out_ += text; }
    void text(double x, double y, std::string_view content, const char* extra = "") {
        out_ += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + extra + ">" +
                escapeHtml(fileText(content)) + "</text>\n";
    }
    void line(double x1, double y1, double x2, double y2, const char* style) {
        out_ += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
                num(y2) + "\" " + style + "/>\n";
    }
    void rect(double x, double y, double w, double h, const char* fill,
              std::string_view title = {}) {
        out_ += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
                "\" height=\"" + num(h) + "\" fill=\"" + fill + "\"";
        out_ +=
            title.empty() ? "/>\n" : "><title>" + escapeHtml(fileText(title)) + "</title></rect>\n";
    }
    std::string done() { return out_ + "</svg>\n"; }

  private:
    std::string out_;
};

std::string originWords(const Timeline& t) {
    switch (t.origin) {
        case TimelineOrigin::MallOpening:
            return "0 = 开门（商城时钟，按估计）";
        case TimelineOrigin::LocalOpening:
            return "0 = 设定时刻（本机时钟，没有商城时钟的估计，到达时刻不详）";
        case TimelineOrigin::FirstSend:
            return "0 = 首个请求发出（立即兑换，到达时刻不详）";
    }
    return {};
}

std::string laneName(const TimelineLane& lane) {
    return lane.account.empty() ? lane.item : lane.account + " " + lane.item;
}

void header(Svg& svg, const Timeline& t, const std::string& what) {
    svg.text(12, 20, "兑换时间线：" + what, " font-size=\"14\" font-weight=\"bold\"");
    std::string second = originWords(t);
    if (t.reach) {
        second += "；到达 = 发出 + 单程约 " + twoPlaces(ms(t.reach->mid)) + " 毫秒（" +
                  twoPlaces(ms(t.reach->earliest)) + " 至 " + twoPlaces(ms(t.reach->latest)) + "）";
    }
    if (t.unrecorded > 0) {
        second += "；另有 " + std::to_string(t.unrecorded) + " 次请求未记录";
    }
    svg.text(12, 38, second);
}

// The outcomes seen, each with its colour.
void legend(Svg& svg, const Timeline& t, double y) {
    std::array<bool, kOutcomeKinds> seen{};
    for (const TimelineRow& row : t.rows) {
        if (row.answered) {
            seen.at(static_cast<std::size_t>(row.kind)) = true;
        }
    }
    double x = 12;
    for (int k = 0; k < kOutcomeKinds; ++k) {
        if (!seen.at(static_cast<std::size_t>(k))) {
            continue;
        }
        const auto kind = static_cast<OutcomeKind>(k);
        svg.rect(x, y - 9, 10, 10, colourOf(kind));
        const std::string label(outcomeLabel(kind));
        svg.text(x + 14, y, label);
        x += 24 + 12.0 * static_cast<double>(label.size()) / 3.0 + 8;
    }
}

// "0.25 ms", with as many decimals as the step needs, and never "-0".
std::string tickLabel(double value, double step) {
    const int decimals = std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 6);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f ms", decimals, std::abs(value) < step / 2 ? 0.0 : value);
    return buf;
}

void timeAxis(Svg& svg, const Axis& axis, double top, double bottom, std::string_view origin) {
    const double step = tickStep(axis.hi - axis.lo);
    for (auto i = static_cast<long long>(std::ceil(axis.lo / step)); i * step <= axis.hi; ++i) {
        const double v = static_cast<double>(i) * step;
        const double x = axis.at(v);
        svg.line(x, top, x, bottom, "stroke=\"#e6e6e6\"");
        svg.text(x, top - 4, tickLabel(v, step), " text-anchor=\"middle\" fill=\"#555\"");
    }
    const double zero = axis.at(0);
    svg.line(zero, top, zero, bottom, "stroke=\"#d00000\" stroke-width=\"1.5\"");
    svg.text(zero + 3, bottom + 12, origin, " fill=\"#d00000\"");
}

std::string shortOrigin(const Timeline& t) {
    return t.origin == TimelineOrigin::FirstSend ? "首个发出" : "开门";
}

std::string rowTitle(const Timeline& t, const TimelineRow& row) {
    std::string title = std::string(outcomeLabel(row.kind));
    if (row.left) {
        title += "，发出 " + num(ms(*row.left)) + " ms";
    }
    if (const auto reached = t.reached(row)) {
        title += "，到达 " + num(ms(*reached)) + " ms";
    }
    if (row.answered) {
        title += "，回复 " + num(ms(*row.answered)) + " ms";
    }
    return title;
}

void detailRow(Svg& svg, const Timeline& t, const Axis& axis, const TimelineRow& row, double y) {
    const auto reached = t.reached(row);
    const char* colour = colourOf(row.kind);
    if (row.left) {
        const double from = axis.at(ms(*row.left));
        const double mid = axis.at(ms(reached.value_or(*row.left)));
        svg.line(from, y, mid, y, "stroke=\"#888\" stroke-dasharray=\"3,2\"");
        if (row.answered) {
            svg.raw("<line x1=\"" + num(mid) + "\" y1=\"" + num(y) + "\" x2=\"" +
                    num(axis.at(ms(*row.answered))) + "\" y2=\"" + num(y) + "\" stroke=\"" +
                    colour + "\" stroke-width=\"2\" stroke-opacity=\"0.6\"/>\n");
        }
        svg.raw("<circle cx=\"" + num(from) + "\" cy=\"" + num(y) + "\" r=\"3\" fill=\"" +
                kLeftColour + "\"/>\n");
    }
    if (reached) {
        const double early = axis.at(ms(*row.left + t.reachOf(row)->earliest));
        const double late = axis.at(ms(*row.left + t.reachOf(row)->latest));
        svg.line(early, y - 3, late, y - 3, "stroke=\"#17a2a2\"");
        svg.raw("<circle cx=\"" + num(axis.at(ms(*reached))) + "\" cy=\"" + num(y) +
                "\" r=\"3\" fill=\"#fff\" stroke=\"" + kReachedColour +
                "\" stroke-width=\"1.5\"/>\n");
    }
    if (row.answered) {
        svg.rect(axis.at(ms(*row.answered)) - 3.5, y - 3.5, 7, 7, colour, rowTitle(t, row));
    }
}

std::string detailed(const Timeline& t) {
    constexpr double kWidth = 1000;
    constexpr double kLabels = 260;
    constexpr double kRow = 16;
    constexpr double kTop = 96;
    const double height = kTop + static_cast<double>(t.rows.size()) * kRow + 30;
    Svg svg(kWidth, height);
    header(svg, t, std::to_string(t.rows.size()) + " 次请求");
    legend(svg, t, 58);
    svg.raw("<circle cx=\"" + num(kWidth - 300) + "\" cy=\"54\" r=\"3\" fill=\"" + kLeftColour +
            "\"/>\n");
    svg.text(kWidth - 292, 58, "发出");
    svg.raw("<circle cx=\"" + num(kWidth - 250) + "\" cy=\"54\" r=\"3\" fill=\"#fff\" stroke=\"" +
            kReachedColour + "\"/>\n");
    svg.text(kWidth - 242, 58, "到达商城（横线：估计的范围）");
    Axis axis = windowOf(allTimes(t), false);
    axis.x = kLabels;
    axis.width = kWidth - kLabels - 24;
    for (std::size_t i = 0; i < t.rows.size(); i += 2) {
        svg.rect(0, kTop + static_cast<double>(i) * kRow, kWidth, kRow, "#f5f5f5");
    }
    timeAxis(svg, axis, kTop, height - 22, shortOrigin(t));
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
        const TimelineRow& row = t.rows[i];
        const double y = kTop + (static_cast<double>(i) + 0.5) * kRow;
        std::string label = laneName(t.lanes.at(row.lane)) + " #" + std::to_string(row.worker);
        if (row.attempt == 0) {
            label += " 未发出";
        } else if (row.attempt > 1) {
            label += " 第" + std::to_string(row.attempt) + "次";
        }
        svg.text(kLabels - 8, y + 4, label, " text-anchor=\"end\"");
        detailRow(svg, t, axis, row, y);
    }
    return svg.done();
}

// One lane's counts by bin; what falls outside the window counted apart.
struct LaneBins {
    std::vector<int> left;
    std::vector<int> reached;
    std::array<std::vector<int>, kOutcomeKinds> answered;
    int before = 0;
    int after = 0;
    int rows = 0;
};

void count(LaneBins& lane, std::vector<int>& bins, const Axis& axis, double value) {
    const auto n = static_cast<double>(bins.size());
    const double at = (value - axis.lo) / (axis.hi - axis.lo) * n;
    if (at < 0) {
        ++lane.before;
    } else if (at >= n) {
        ++lane.after;
    } else {
        ++bins[static_cast<std::size_t>(at)];
    }
}

// A filled step outline of `heights` on `base`, runs of one height drawn as one step.
std::string stepPath(const std::vector<double>& heights, double x, double binWidth, double base) {
    std::string d = "M" + num(x) + " " + num(base);
    double y = base;
    double run = 0;
    for (const double h : heights) {
        const double next = base - h;
        if (std::abs(next - y) >= 0.05) {
            if (run > 0) {
                d += "h" + num(run);
            }
            d += "V" + num(next);
            y = next;
            run = 0;
        }
        run += binWidth;
    }
    return d + "h" + num(run) + "V" + num(base) + "Z";
}

// Square-root heights: the crowd at the instant must not flatten the stragglers to nothing.
std::vector<double> heightsOf(const std::vector<int>& counts, int most, double full) {
    std::vector<double> heights(counts.size(), 0.0);
    if (most <= 0) {
        return heights;
    }
    for (std::size_t b = 0; b < counts.size(); ++b) {
        heights[b] = full * std::sqrt(static_cast<double>(counts[b]) / most);
    }
    return heights;
}

void strip(Svg& svg, const std::vector<int>& counts, const Axis& axis, double base,
           const char* colour) {
    const int most = *std::max_element(counts.begin(), counts.end());
    if (most == 0) {
        return;
    }
    const double bin = axis.width / static_cast<double>(counts.size());
    svg.raw("<path d=\"" + stepPath(heightsOf(counts, most, 8), axis.x, bin, base) + "\" fill=\"" +
            colour + "\"/>\n");
}

// The answers stacked by outcome: each kind drawn to the top of its share, the kinds below
// painted over it.
void answerStrip(Svg& svg, const LaneBins& lane, const Axis& axis, double base) {
    const std::size_t bins = lane.left.size();
    std::vector<std::vector<int>> stacked(kOutcomeKinds, std::vector<int>(bins, 0));
    for (std::size_t b = 0; b < bins; ++b) {
        int sum = 0;
        for (std::size_t k = 0; k < stacked.size(); ++k) {
            sum += lane.answered.at(k)[b];
            stacked[k][b] = sum;
        }
    }
    const int most = *std::max_element(stacked.back().begin(), stacked.back().end());
    const double bin = axis.width / static_cast<double>(bins);
    for (std::size_t k = stacked.size(); k-- > 0;) {
        const auto& own = lane.answered.at(k);
        if (std::all_of(own.begin(), own.end(), [](int c) { return c == 0; })) {
            continue;
        }
        svg.raw("<path d=\"" + stepPath(heightsOf(stacked[k], most, 8), axis.x, bin, base) +
                "\" fill=\"" + colourOf(static_cast<OutcomeKind>(k)) + "\"/>\n");
    }
}

std::vector<LaneBins> binLanes(const Timeline& t, const Axis& axis, std::size_t bins) {
    LaneBins empty;
    empty.left.assign(bins, 0);
    empty.reached.assign(bins, 0);
    empty.answered.fill(std::vector<int>(bins, 0));
    std::vector<LaneBins> lanes(t.lanes.size(), empty);
    for (const TimelineRow& row : t.rows) {
        LaneBins& lane = lanes.at(row.lane);
        ++lane.rows;
        if (row.left) {
            count(lane, lane.left, axis, ms(*row.left));
        }
        if (const auto reached = t.reached(row)) {
            count(lane, lane.reached, axis, ms(*reached));
        }
        if (row.answered) {
            count(lane, lane.answered.at(static_cast<std::size_t>(row.kind)), axis,
                  ms(*row.answered));
        }
    }
    return lanes;
}

std::string aggregated(const Timeline& t, const std::string& what) {
    constexpr double kWidth = 1200;
    constexpr double kLabels = 250;
    constexpr double kCounts = 90;
    constexpr double kLane = 32;
    constexpr double kTop = 104;
    constexpr std::size_t kBins = 120;
    const double height = kTop + static_cast<double>(t.lanes.size()) * kLane + 30;
    Svg svg(kWidth, height);
    header(svg, t, what);
    svg.text(12, 56,
             "每条通道三行：发出、到达商城、回复（按结果着色）；高度按该行最多一格的平方根；"
             "窗口外的个数在右侧（‹ 早于窗口，› 晚于窗口）");
    legend(svg, t, 76);
    Axis axis = windowOf(allTimes(t), true);
    axis.x = kLabels;
    axis.width = kWidth - kLabels - kCounts;
    timeAxis(svg, axis, kTop, height - 22, shortOrigin(t));
    const auto lanes = binLanes(t, axis, kBins);
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        const double top = kTop + static_cast<double>(i) * kLane;
        const LaneBins& lane = lanes[i];
        svg.line(0, top, kWidth, top, "stroke=\"#eeeeee\"");
        svg.text(kLabels - 8, top + 18,
                 laneName(t.lanes[i]) + "（" + std::to_string(lane.rows) + "）",
                 " text-anchor=\"end\"");
        strip(svg, lane.left, axis, top + 10, kLeftColour);
        strip(svg, lane.reached, axis, top + 19, kReachedColour);
        answerStrip(svg, lane, axis, top + 28);
        if (lane.before > 0 || lane.after > 0) {
            svg.text(kWidth - kCounts + 8, top + 18,
                     "‹" + std::to_string(lane.before) + "  " + std::to_string(lane.after) + "›",
                     " fill=\"#555\"");
        }
    }
    return svg.done();
}

}  // namespace

std::string timelineSvg(const Timeline& timeline) {
    if (timeline.rows.size() <= kTimelineRowsDrawn) {
        return detailed(timeline);
    }
    return aggregated(timeline, std::to_string(timeline.rows.size()) + " 次请求，" +
                                    std::to_string(timeline.lanes.size()) +
                                    " 条通道（帐号 × 商品）");
}

std::string timelineLanesSvg(const Timeline& timeline, const std::string& what) {
    return aggregated(timeline, what);
}

}  // namespace vellicor::mall
