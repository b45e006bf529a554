#pragma once
// What the mall answered to one exchange request, read from the decoded reply page, and the
// log line that reports it.

#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/result.h"

namespace vellicor::mall {

enum class OutcomeKind {
    NotOpen,       // "点开始兑换，请稍后再来": asked too early
    SoldOut,       // "该商品今日已被兑换完"
    LotteryLoss,   // "差一点点就中奖了"
    Unmet,         // "您未满足条件"
    Popup,         // the mall's message pop-up (a win, a successful exchange, ...)
    Refusal,       // a "很抱歉，..." sentence not covered above
    Failed,        // no reply: connect, time-out, transfer error
    Unrecognised,  // a reply without any of the mall's answer texts
    Cancelled,     // the run was stopped before this request ended
    Throttled,     // "too many requests": HTTP 429 or 503, or a page saying the mall is busy
    Unknown,       // the request left whole, then its connection was lost without an answer
};
inline constexpr int kOutcomeKinds = 11;

struct Outcome {
    OutcomeKind kind = OutcomeKind::Unrecognised;
    std::string message;   // one line of text, no line breaks
    bool atProxy = false;  // a failure at the proxy: the request never reached the mall
};

// Reads a reply. The body must already be decoded to UTF-8.
Outcome classifyReply(long status, std::string_view body);
// A request the mall never saw: it may go again.
Outcome failedRequest(const Error& error);
// A request that left whole and got no answer: the mall may have acted on it, so it never
// goes again. "已发出，结果未知（reason）".
Outcome lostAfterSend(const Error& error);

// Short name of a kind, as the summary counts it.
std::string_view outcomeLabel(OutcomeKind kind);

// At most `chars` code points of UTF-8 text, with "…" when something was cut.
std::string clipText(std::string_view text, std::size_t chars);

// "HH:MM:SS.mmm" of the local time of day.
std::string localTimeOfDay(const Clock& clock);

// "12:00:00.004 [烟雾头(抽奖)] #17", with " 第3次" when the worker asked more than once;
// "12:00:00.004 [改名] 小号2 #1" when the run has several accounts and names this one.
std::string linePrefix(std::string_view time, std::string_view caption, int worker, int attempts,
                       std::string_view account = {});

// prefix + "  :" + message + "\r\n".
std::string outcomeLine(std::string_view prefix, std::string_view message);

}  // namespace vellicor::mall
