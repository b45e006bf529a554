#include "mall/run_summary.h"

#include <cstdio>

namespace vellicor::mall {
namespace {

using std::chrono::nanoseconds;

std::string millis(nanoseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f ms", static_cast<double>(d.count()) / 1e6);
    return buf;
}

std::string tallyText(const ItemTally& t) {
    std::string text = "[" + std::string(t.item->caption) + "]";
    bool any = false;
    for (int k = 0; k < kOutcomeKinds; ++k) {
        const int n = t.counts.at(static_cast<std::size_t>(k));
        if (n > 0) {
            text += (any ? "，" : " ") + std::string(outcomeLabel(static_cast<OutcomeKind>(k))) +
                    " " + std::to_string(n);
            any = true;
        }
    }
    if (!any) {
        text += " 无结果";
    }
    if (t.firstReply && t.lastReply) {
        text += "，首个回复 " + millis(*t.firstReply) + "，最后回复 " + millis(*t.lastReply);
    } else {
        text += "，没有收到回复";
    }
    return text;
}

}  // namespace

std::string summaryLine(const RunSummary& summary) {
    std::string line = summary.cancelled ? "兑换已停止" : "兑换结束";
    line += "：共 " + std::to_string(summary.requests) + " 个请求（发送 " +
            std::to_string(summary.sends) + " 次）";
    for (const auto& t : summary.items) {
        line += "；" + tallyText(t);
    }
    line += "（时间自首次发送起）";
    return line;
}

}  // namespace vellicor::mall
