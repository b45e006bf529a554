#include "mall/outcome.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

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

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view s, std::size_t at, std::string_view prefix) {
    if (s.size() - at < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(s[at + i]) != prefix[i]) {
            return false;
        }
    }
    return true;
}

std::size_t findNoCase(std::string_view s, std::string_view needle, std::size_t from) {
    for (std::size_t i = from; i + needle.size() <= s.size(); ++i) {
        if (startsWithNoCase(s, i, needle)) {
            return i;
        }
    }
    return std::string_view::npos;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        cp = 0xFFFD;
    }
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Builds the visible text, folding every whitespace run into one blank.
class TextBuilder {
  public:
    void space() { pendingSpace_ = !out_.empty(); }
    void add(std::string_view s) {
        if (pendingSpace_) {
            out_ += ' ';
            pendingSpace_ = false;
        }
        out_ += s;
    }
    void addCodePoint(std::uint32_t cp) {
        if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x20 || cp == 0x7F || cp == 0xA0) {
            space();
            return;
        }
        std::string s;
        appendUtf8(s, cp);
        add(s);
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
    bool pendingSpace_ = false;
};

bool parseNumber(std::string_view digits, int base, std::uint32_t& out) {
    if (digits.empty() || digits.size() > 8) {
        return false;
    }
    out = 0;
    for (char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && lower(c) >= 'a' && lower(c) <= 'f') {
            d = lower(c) - 'a' + 10;
        }
        if (d < 0) {
            return false;
        }
        out = out * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    }
    return true;
}

// Decodes the entity at `at` ("&...;"); returns its length, or 0 when it is none.
std::size_t decodeEntity(std::string_view s, std::size_t at, TextBuilder& text) {
    const auto semi = s.find(';', at);
    if (semi == std::string_view::npos || semi - at > 10) {
        return 0;
    }
    const std::string_view name = s.substr(at + 1, semi - at - 1);
    std::uint32_t cp = 0;
    static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 7> kNamed{{
        {"amp", '&'},
        {"lt", '<'},
        {"gt", '>'},
        {"quot", '"'},
        {"apos", '\''},
        {"nbsp", 0xA0},
        {"middot", 0xB7},
    }};
    bool known = false;
    if (name.size() > 1 && name[0] == '#') {
        known = (lower(name[1]) == 'x') ? parseNumber(name.substr(2), 16, cp)
                                        : parseNumber(name.substr(1), 10, cp);
    } else {
        for (const auto& [n, v] : kNamed) {
            if (n == name) {
                cp = v;
                known = true;
            }
        }
    }
    if (!known) {
        return 0;
    }
    text.addCodePoint(cp);
    return semi - at + 1;
}

// Inline tags do not separate words; Chinese sentences carry no blanks around them.
bool isInlineTag(std::string_view s, std::size_t lt) {
    static constexpr std::array<std::string_view, 10> kInline{
        "a", "b", "i", "u", "em", "font", "span", "strong", "small", "label"};
    std::size_t p = lt + 1;
    if (p < s.size() && s[p] == '/') {
        ++p;
    }
    std::size_t e = p;
    while (e < s.size() &&
           ((lower(s[e]) >= 'a' && lower(s[e]) <= 'z') || (s[e] >= '0' && s[e] <= '9'))) {
        ++e;
    }
    std::string name;
    for (std::size_t i = p; i < e; ++i) {
        name += lower(s[i]);
    }
    for (auto n : kInline) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

bool opensMarkup(std::string_view s, std::size_t lt) {
    if (lt + 1 >= s.size()) {
        return false;
    }
    const char c = lower(s[lt + 1]);
    return (c >= 'a' && c <= 'z') || c == '/' || c == '!' || c == '?';
}

// Returns where scanning goes on after the markup that starts at `lt`.
std::size_t skipMarkup(std::string_view s, std::size_t lt, TextBuilder& text) {
    auto skipTo = [&](std::string_view end) {
        const auto e = findNoCase(s, end, lt);
        return e == std::string_view::npos ? s.size() : e + end.size();
    };
    if (s.compare(lt, 4, "<!--") == 0) {
        text.space();
        return skipTo("-->");
    }
    if (startsWithNoCase(s, lt, "<script")) {
        text.space();
        return skipTo("</script>");
    }
    if (startsWithNoCase(s, lt, "<style")) {
        text.space();
        return skipTo("</style>");
    }
    if (!isInlineTag(s, lt)) {
        text.space();
    }
    return skipTo(">");
}

std::string withoutScripts(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    std::size_t i = 0;
    while (i < html.size()) {
        const auto lt = html.find('<', i);
        if (lt == std::string_view::npos) {
            break;
        }
        std::string_view end;
        if (html.compare(lt, 4, "<!--") == 0) {
            end = "-->";
        } else if (startsWithNoCase(html, lt, "<script")) {
            end = "</script>";
        } else if (startsWithNoCase(html, lt, "<style")) {
            end = "</style>";
        }
        if (end.empty()) {
            out.append(html.substr(i, lt + 1 - i));
            i = lt + 1;
            continue;
        }
        out.append(html.substr(i, lt - i));
        const auto e = findNoCase(html, end, lt);
        i = e == std::string_view::npos ? html.size() : e + end.size();
    }
    if (i < html.size()) {
        out.append(html.substr(i));
    }
    return out;
}

std::string cleanMessage(std::string_view html) {
    return clipText(pageText(html), kMessageChars);
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
    const std::string text = clipText(pageText(body), kFirstWordsChars);
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
    constexpr long kTooManyRequests = 429;
    constexpr long kUnavailable = 503;
    if (status == kTooManyRequests || status == kUnavailable) {
        return true;
    }
    return std::any_of(kBusy.begin(), kBusy.end(), [visible](std::string_view phrase) {
        return visible.find(phrase) != std::string_view::npos;
    });
}

}  // namespace

std::string pageText(std::string_view html) {
    TextBuilder text;
    std::size_t i = 0;
    while (i < html.size()) {
        const unsigned char c = static_cast<unsigned char>(html[i]);
        if (c == '<' && opensMarkup(html, i)) {
            i = skipMarkup(html, i, text);
        } else if (c == '&') {
            const std::size_t used = decodeEntity(html, i, text);
            if (used == 0) {
                text.add("&");
            }
            i += used == 0 ? 1 : used;
        } else if (c < 0x20 || c == ' ' || c == 0x7F) {
            text.space();
            ++i;
        } else {
            std::size_t j = i + 1;
            while (j < html.size() && html[j] != '<' && html[j] != '&' &&
                   static_cast<unsigned char>(html[j]) > 0x20 && html[j] != 0x7F) {
                ++j;
            }
            text.add(html.substr(i, j - i));
            i = j;
        }
    }
    return text.take();
}

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
    std::string text = pageText(error.message);
    return {OutcomeKind::Failed, "请求失败：" + (text.empty() ? std::string("未知错误")
                                                              : clipText(text, kMessageChars))};
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

std::string linePrefix(std::string_view time, std::string_view caption, int worker, int attempts) {
    std::string p =
        std::string(time) + " [" + std::string(caption) + "] #" + std::to_string(worker);
    if (attempts > 1) {
        p += " 第" + std::to_string(attempts) + "次";
    }
    return p;
}

std::string outcomeLine(std::string_view prefix, std::string_view message) {
    return std::string(prefix) + "  :" + std::string(message) + "\r\n";
}

}  // namespace vellicor::mall
