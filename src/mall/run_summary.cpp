#include "mall/run_summary.h"

#include <algorithm>
#include <cstdio>

namespace vellicor::mall {
namespace {

using std::chrono::nanoseconds;

std::string millis(nanoseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f ms", static_cast<double>(d.count()) / 1e6);
    return buf;
}

// " 成功 1，已兑完 2", or " 无结果".
std::string countsText(const std::array<int, kOutcomeKinds>& counts) {
    std::string text;
    for (int k = 0; k < kOutcomeKinds; ++k) {
        const int n = counts.at(static_cast<std::size_t>(k));
        if (n > 0) {
            text += (text.empty() ? " " : "，") +
                    std::string(outcomeLabel(static_cast<OutcomeKind>(k))) + " " +
                    std::to_string(n);
        }
    }
    return text.empty() ? " 无结果" : text;
}

std::string tallyText(const ItemTally& t) {
    std::string text = "[" + std::string(t.item->caption) + "]" + countsText(t.counts);
    if (t.firstReply && t.lastReply) {
        text += "，首个回复 " + millis(*t.firstReply) + "，最后回复 " + millis(*t.lastReply);
    } else {
        text += "，没有收到回复";
    }
    return text;
}

}  // namespace

std::string totalsLine(const RunSummary& summary) {
    std::string line = summary.cancelled ? "兑换已停止" : "兑换结束";
    line += "：共 " + std::to_string(summary.requests) + " 个请求（发送 " +
            std::to_string(summary.sends) + " 次" +
            (summary.unsent > 0 ? "，另有 " + std::to_string(summary.unsent) + " 次未送达商城"
                                : std::string()) +
            "）";
    return line;
}

// A run of 44 items and several accounts said on one line is a wall nobody reads: a line
// each, and the totals last, where the log box shows them once it has scrolled.
std::vector<std::string> summaryLines(const RunSummary& summary) {
    std::vector<std::string> lines;
    if (!summary.items.empty() || !summary.accounts.empty()) {
        lines.emplace_back(kSummaryHeading);
    }
    for (const auto& t : summary.items) {
        lines.push_back(kSummaryIndent + tallyText(t));
    }
    for (const auto& a : summary.accounts) {
        lines.push_back(kSummaryIndent + ("帐号 " + a.name) + countsText(a.counts));
    }
    lines.push_back(totalsLine(summary));
    return lines;
}

std::string summaryLine(const RunSummary& summary) {
    std::string text;
    for (const std::string& line : summaryLines(summary)) {
        text += (text.empty() ? "" : "\r\n") + line;
    }
    return text;
}

RunSummary RunSummary::forPlan(const std::vector<const Item*>& items, int perItem) {
    RunSummary summary;
    for (const Item* item : items) {
        summary.items.push_back(ItemTally{item, {}, 0, {}, {}});
    }
    summary.requests = static_cast<int>(items.size()) * std::max(0, perItem);
    return summary;
}

RunSummary RunSummary::forPlan(const std::vector<const Item*>& items, int perItem,
                               const std::vector<std::string>& accountNames) {
    RunSummary summary = forPlan(items, perItem);
    if (accountNames.size() > 1) {
        for (const auto& name : accountNames) {
            summary.accounts.push_back(AccountTally{name, {}});
        }
        summary.requests *= static_cast<int>(accountNames.size());
    }
    return summary;
}

void RunSummary::noteReply(std::size_t item, std::chrono::nanoseconds sinceFirstSend) {
    ItemTally& t = items.at(item);
    ++t.replies;
    if (!t.firstReply) {
        t.firstReply = sinceFirstSend;
    }
    t.lastReply = sinceFirstSend;
}

void RunSummary::noteOutcome(std::size_t item, OutcomeKind kind, std::size_t account) {
    ++items.at(item).counts[static_cast<std::size_t>(kind)];
    if (account < accounts.size()) {
        ++accounts[account].counts[static_cast<std::size_t>(kind)];
    }
    ++lines;
}

}  // namespace vellicor::mall
