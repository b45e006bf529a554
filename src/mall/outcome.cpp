#include "mall/outcome.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/html_text.h"

namespace vellicor::mall {
namespace {

constexpr std::string_view kNotOpen = "点开始兑换，请稍后再来";
constexpr std::string_view kSorry = "很抱歉，";
constexpr std::string_view kLoss = "差一点点就中奖了";
constexpr std::string_view kUnmet = "您未满足条件";
constexpr std::string_view kSoldOut = "该商品今日已被兑换完";
constexpr std::string_view kPopup = "popaitem c";
constexpr std::string_view kClose = "关闭窗口";
constexpr std::string_view kParagraphEnd = "</p>";
// What a mall or its front server says when it wants fewer requests.
constexpr std::array<std::string_view, 3> kBusy{"过于频繁", "太频繁", "系统繁忙"};

// Messages come from a page someone else controls; a line in the log stays readable.
constexpr std::size_t kMessageChars = 160;
constexpr std::size_t kFirstWordsChars = 40;
// A pop-up without its close link is read this far at most.
constexpr std::size_t kPopupBytes = 4096;

std::string cleanMessage(std::string_view html) {
    return clipText(visibleText(html), kMessageChars);
}

// The sentence after "很抱歉，" at `sorry`, up to the paragraph's end (or the next tag).
std::string refusalSentence(std::string_view body, std::size_t sorry) {
    const std::size_t start = sorry + kSorry.size();
    auto end = body.find(kParagraphEnd, start);
    if (end == std::string_view::npos) {
        end = body.find('<', start);
    }
    return cleanMessage(body.substr(start, end == std::string_view::npos ? end : end - start));
}

std::string popupText(std::string_view body, std::size_t marker) {
    // The marker sits inside the pop-up's class attribute: what follows it up to the end of
    // the opening tag (the rest of the class value, other attributes) is not message text.
    const auto tagEnd = body.find('>', marker);
    if (tagEnd == std::string_view::npos) {
        return {};
    }
    const std::size_t start = tagEnd + 1;
    auto end = body.find(kClose, start);
    if (end == std::string_view::npos) {
        end = std::min(body.size(), start + kPopupBytes);
    }
    return cleanMessage(body.substr(start, end - start));
}

std::string unmetText(std::string_view body, std::size_t marker) {
    const auto end = body.find('<', marker);
    return cleanMessage(body.substr(marker, end == std::string_view::npos ? end : end - marker));
}

std::string firstWords(std::string_view body) {
    const std::string text = clipText(visibleText(body), kFirstWordsChars);
    return text.empty() ? "（页面没有文字）" : text;
}

std::string notOpenMessage(std::string_view visible) {
    const auto marker = visible.find(kNotOpen);
    if (marker == std::string_view::npos) {
        return std::string(kNotOpen);
    }
    const auto sorry = visible.rfind(kSorry, marker);
    if (sorry != std::string_view::npos) {
        std::string sentence = refusalSentence(visible, sorry);
        if (sentence.find(kNotOpen) != std::string::npos) {
            return sentence;
        }
    }
    return std::string(kNotOpen);
}

bool isThrottle(long status, std::string_view visible) {
    // 412 is how some front ends' request shields turn a client away for asking too often.
    constexpr long kShielded = 412;
    constexpr long kTooManyRequests = 429;
    constexpr long kUnavailable = 503;
    if (status == kShielded || status == kTooManyRequests || status == kUnavailable) {
        return true;
    }
    return std::any_of(kBusy.begin(), kBusy.end(), [visible](std::string_view phrase) {
        return visible.find(phrase) != std::string_view::npos;
    });
}

}  // namespace

std::string clipText(std::string_view text, std::size_t chars) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == chars) {
                return std::string(text.substr(0, i)) + "…";
            }
            ++count;
        }
    }
    return std::string(text);
}

// Fixed answers are looked for in the whole page, as the mall may give them in a script as
// well; sentences are cut from the page without its scripts, styles and comments, so that a
// script's string never becomes the message.
Outcome classifyReply(long status, std::string_view body) {
    if (body.find(kSoldOut) != std::string_view::npos) {
        return {OutcomeKind::SoldOut, std::string(kSoldOut)};
    }
    if (body.find(kLoss) != std::string_view::npos) {
        return {OutcomeKind::LotteryLoss, std::string(kLoss)};
    }
    const std::string visible = withoutScripts(body);
    if (body.find(kUnmet) != std::string_view::npos) {
        const auto at = visible.find(kUnmet);
        return {OutcomeKind::Unmet,
                at == std::string::npos ? std::string(kUnmet) : unmetText(visible, at)};
    }
    if (body.find(kNotOpen) != std::string_view::npos) {
        return {OutcomeKind::NotOpen, notOpenMessage(visible)};
    }
    if (auto at = visible.find(kPopup); at != std::string::npos) {
        std::string text = popupText(visible, at);
        if (!text.empty()) {
            return {OutcomeKind::Popup, std::move(text)};
        }
    }
    if (isThrottle(status, visible)) {
        return {OutcomeKind::Throttled,
                "请求过多（HTTP " + std::to_string(status) + "）：" + firstWords(body)};
    }
    if (auto at = visible.find(kSorry); at != std::string::npos) {
        std::string text = refusalSentence(visible, at);
        if (!text.empty()) {
            return {OutcomeKind::Refusal, std::move(text)};
        }
    }
    return {OutcomeKind::Unrecognised,
            "无法识别的回复（HTTP " + std::to_string(status) + "）：" + firstWords(body)};
}

Outcome failedRequest(const Error& error) {
    std::string text = visibleText(error.message);
    return {OutcomeKind::Failed,
            "请求失败：" + (text.empty() ? std::string("未知错误") : clipText(text, kMessageChars)),
            error.code == ErrorCode::Proxy};
}

Outcome lostAfterSend(const Error& error) {
    std::string text = visibleText(error.message);
    return {OutcomeKind::Unknown,
            "已发出，结果未知（" +
                (text.empty() ? std::string("连接中断") : clipText(text, kMessageChars)) + "）"};
}

std::string_view outcomeLabel(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::NotOpen:
            return "未开放";
        case OutcomeKind::SoldOut:
            return "已兑换完";
        case OutcomeKind::LotteryLoss:
            return "未中奖";
        case OutcomeKind::Unmet:
            return "未满足条件";
        case OutcomeKind::Popup:
            return "提示框";
        case OutcomeKind::Refusal:
            return "拒绝";
        case OutcomeKind::Failed:
            return "请求失败";
        case OutcomeKind::Unrecognised:
            return "无法识别";
        case OutcomeKind::Cancelled:
            return "已取消";
        case OutcomeKind::Throttled:
            return "请求过多";
        case OutcomeKind::Unknown:
            return "结果未知";
    }
    return "?";
}

std::string localTimeOfDay(const Clock& clock) {
    using namespace std::chrono;
    const auto now = clock.wallNow();
    constexpr long long kDayMs = 86'400'000;
    const long long ms = duration_cast<milliseconds>(now.time_since_epoch()).count() +
                         static_cast<long long>(clock.utcOffsetSeconds(now)) * 1000;
    const long long ofDay = ((ms % kDayMs) + kDayMs) % kDayMs;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%03lld", ofDay / 3'600'000,
                  ofDay / 60'000 % 60, ofDay / 1000 % 60, ofDay % 1000);
    return buf;
}

std::string linePrefix(std::string_view time, std::string_view caption, int worker, int attempts,
                       std::string_view account) {
    std::string p = std::string(time) + " [" + std::string(caption) + "] ";
    if (!account.empty()) {
        p += std::string(account) + " ";
    }
    p += "#" + std::to_string(worker);
    if (attempts > 1) {
        p += " 第" + std::to_string(attempts) + "次";
    }
    return p;
}

std::string outcomeLine(std::string_view prefix, std::string_view message) {
    return std::string(prefix) + "  :" + std::string(message) + "\r\n";
}

}  // namespace vellicor::mall
