#pragma once
// What a run counted, per item and in all, and the summary lines that close it.

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mall/catalogue.h"
#include "mall/outcome.h"

namespace vellicor::mall {

struct Timeline;

struct ItemTally {
    const Item* item = nullptr;
    std::array<int, kOutcomeKinds> counts{};
    int replies = 0;  // replies received, retried ones included
    // Since the run's first send; empty while no reply came.
    std::optional<std::chrono::nanoseconds> firstReply;
    std::optional<std::chrono::nanoseconds> lastReply;
    int count(OutcomeKind kind) const { return counts.at(static_cast<std::size_t>(kind)); }
};

// One account's outcomes, over every item, in a run of several.
struct AccountTally {
    std::string name;
    std::array<int, kOutcomeKinds> counts{};
    int count(OutcomeKind kind) const { return counts.at(static_cast<std::size_t>(kind)); }
};

struct RunSummary {
    std::vector<ItemTally> items;  // in the plan's order, every account's together
    // In the plan's order when it has several accounts; empty for one.
    std::vector<AccountTally> accounts;
    int requests = 0;  // workers of the run
    int lines = 0;     // outcome lines written
    int sends = 0;     // requests that left whole, retries included
    int unsent = 0;  // requests the mall never saw (lost before their last byte), sent again or not
    bool cancelled = false;
    int endedAtProxy = 0;  // workers whose request never got past the proxy
    // When each request left, reached the mall and was answered; only for a run asked to keep
    // it (RunOptions::timeline).
    std::shared_ptr<const Timeline> timeline;

    // An empty tally for each item of a run with that many workers an item.
    static RunSummary forPlan(const std::vector<const Item*>& items, int perItem);
    // The same for these accounts, each sending every item N times.
    static RunSummary forPlan(const std::vector<const Item*>& items, int perItem,
                              const std::vector<std::string>& accountNames);
    // A reply for the item, that long after the run's first send.
    void noteReply(std::size_t item, std::chrono::nanoseconds sinceFirstSend);
    // A worker's outcome line.
    void noteOutcome(std::size_t item, OutcomeKind kind, std::size_t account = 0);
};

// Every worker ended at the proxy: nothing reached the mall.
inline bool nothingPastProxy(const RunSummary& summary) {
    return summary.requests > 0 && summary.endedAtProxy == summary.requests;
}

// The lines that close a run, without line ends: a heading, one line per item and one per
// account (of a run of several), then the totals line.
std::vector<std::string> summaryLines(const RunSummary& summary);
// The same as one text, "\r\n" between the lines and none after the last.
std::string summaryLine(const RunSummary& summary);
// The last of them: "兑换结束：共 4 个请求（发送 5 次）", or "兑换已停止：…" for a stopped run.
std::string totalsLine(const RunSummary& summary);

inline constexpr const char* kSummaryHeading = "各商品结果（时间自首次发送起）：";
inline constexpr const char* kSummaryIndent = "  ";

}  // namespace vellicor::mall
