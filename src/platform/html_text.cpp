#include "platform/html_text.h"

#include <array>
#include <cstdint>
#include <utility>

namespace vellicor {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;
constexpr std::uint32_t kNoBreakSpace = 0xA0;
constexpr std::uint32_t kBeyondUnicode = 0x110000;
// Longer than every name in kNamed; past it a '&' is plain text, which keeps a page full of
// '&' without ';' from being scanned again and again.
constexpr std::size_t kLongestName = 8;

constexpr std::array<std::pair<std::string_view, std::uint32_t>, 22> kNamed{{
    {"amp", '&'},      {"lt", '<'},       {"gt", '>'},       {"quot", '"'},     {"apos", '\''},
    {"nbsp", 0xA0},    {"middot", 0xB7},  {"copy", 0xA9},    {"reg", 0xAE},     {"times", 0xD7},
    {"yen", 0xA5},     {"laquo", 0xAB},   {"raquo", 0xBB},   {"ndash", 0x2013}, {"mdash", 0x2014},
    {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"hellip", 0x2026},
    {"ensp", 0x2002},  {"emsp", 0x2003},
}};

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isAsciiAlnum(char c) {
    const char l = lower(c);
    return (l >= 'a' && l <= 'z') || (c >= '0' && c <= '9');
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

// What a numeric reference may not name: NUL, a surrogate half, past Unicode.
std::uint32_t usable(std::uint32_t cp) {
    return (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp >= kBeyondUnicode) ? kReplacement : cp;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    cp = usable(cp);
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

int digitValue(char c, int base) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char l = lower(c);
    return (base == 16 && l >= 'a' && l <= 'f') ? l - 'a' + 10 : -1;
}

// "&#N;" or "&#xH;" at `at`: its length, or 0. Any number of digits is read; values past
// Unicode stay past it, so that appendUtf8 replaces them.
std::size_t readNumeric(std::string_view s, std::size_t at, std::uint32_t& cp) {
    std::size_t i = at + 2;
    const int base = (i < s.size() && lower(s[i]) == 'x') ? 16 : 10;
    if (base == 16) {
        ++i;
    }
    const std::size_t first = i;
    cp = 0;
    for (int d = 0; i < s.size() && (d = digitValue(s[i], base)) >= 0; ++i) {
        cp = cp >= kBeyondUnicode
                 ? kBeyondUnicode
                 : cp * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    }
    if (i == first || i >= s.size() || s[i] != ';') {
        return 0;
    }
    return i + 1 - at;
}

std::size_t readNamed(std::string_view s, std::size_t at, std::uint32_t& cp) {
    std::size_t i = at + 1;
    while (i < s.size() && i - at <= kLongestName && isAsciiAlnum(s[i])) {
        ++i;
    }
    if (i >= s.size() || s[i] != ';') {
        return 0;
    }
    const std::string_view name = s.substr(at + 1, i - at - 1);
    for (const auto& [n, v] : kNamed) {
        if (n == name) {
            cp = v;
            return i + 1 - at;
        }
    }
    return 0;
}

// The reference at `at` (s[at] is '&'): its length, or 0 when it is none.
std::size_t readReference(std::string_view s, std::size_t at, std::uint32_t& cp) {
    if (at + 1 < s.size() && s[at + 1] == '#') {
        return readNumeric(s, at, cp);
    }
    return readNamed(s, at, cp);
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
        cp = usable(cp);
        if (cp < 0x20 || cp == 0x7F || cp == kNoBreakSpace) {
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

// Inline tags do not separate words; Chinese sentences carry no blanks around them.
bool isInlineTag(std::string_view s, std::size_t lt) {
    static constexpr std::array<std::string_view, 10> kInline{
        "a", "b", "i", "u", "em", "font", "span", "strong", "small", "label"};
    std::size_t p = lt + 1;
    if (p < s.size() && s[p] == '/') {
        ++p;
    }
    std::size_t e = p;
    while (e < s.size() && e - p <= kLongestName && isAsciiAlnum(s[e])) {
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

// What ends the hidden part that starts at `lt`, or empty when none starts there.
std::string_view hiddenPartEnd(std::string_view s, std::size_t lt) {
    if (s.compare(lt, 4, "<!--") == 0) {
        return "-->";
    }
    if (startsWithNoCase(s, lt, "<script")) {
        return "</script>";
    }
    if (startsWithNoCase(s, lt, "<style")) {
        return "</style>";
    }
    return {};
}

std::size_t endOf(std::string_view s, std::size_t from, std::string_view end) {
    const auto e = findNoCase(s, end, from);
    return e == std::string_view::npos ? s.size() : e + end.size();
}

// Returns where scanning goes on after the markup that starts at `lt`.
std::size_t skipMarkup(std::string_view s, std::size_t lt, TextBuilder& text) {
    const std::string_view hiddenEnd = hiddenPartEnd(s, lt);
    if (!hiddenEnd.empty()) {
        text.space();
        return endOf(s, lt, hiddenEnd);
    }
    if (!isInlineTag(s, lt)) {
        text.space();
    }
    return endOf(s, lt, ">");
}

bool isNoBreakSpace(std::string_view s, std::size_t i) {
    return s.compare(i, 2, "\xC2\xA0") == 0;
}

bool isBlank(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    return c <= 0x20 || c == 0x7F || isNoBreakSpace(s, i);
}

// A run of plain text at `i`: up to the next markup, reference or blank.
std::size_t plainRunEnd(std::string_view s, std::size_t i) {
    std::size_t j = i + 1;
    while (j < s.size() && s[j] != '<' && s[j] != '&' && !isBlank(s, j)) {
        ++j;
    }
    return j;
}

}  // namespace

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string unescapeHtml(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    std::size_t i = 0;
    for (auto amp = html.find('&'); amp != std::string_view::npos; amp = html.find('&', i)) {
        out.append(html.substr(i, amp - i));
        std::uint32_t cp = 0;
        const std::size_t used = readReference(html, amp, cp);
        if (used == 0) {
            out += '&';
            i = amp + 1;
        } else {
            appendUtf8(out, cp);
            i = amp + used;
        }
    }
    out.append(html.substr(i));
    return out;
}

std::string withoutScripts(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    std::size_t i = 0;
    for (auto lt = html.find('<'); lt != std::string_view::npos; lt = html.find('<', i)) {
        const std::string_view end = hiddenPartEnd(html, lt);
        out.append(html.substr(i, (end.empty() ? lt + 1 : lt) - i));
        i = end.empty() ? lt + 1 : endOf(html, lt, end);
    }
    if (i < html.size()) {
        out.append(html.substr(i));
    }
    return out;
}

std::string visibleText(std::string_view html) {
    TextBuilder text;
    std::size_t i = 0;
    while (i < html.size()) {
        std::uint32_t cp = 0;
        std::size_t used = 0;
        if (html[i] == '<' && opensMarkup(html, i)) {
            i = skipMarkup(html, i, text);
        } else if (html[i] == '&' && (used = readReference(html, i, cp)) > 0) {
            text.addCodePoint(cp);
            i += used;
        } else if (isBlank(html, i)) {
            text.space();
            i += isNoBreakSpace(html, i) ? 2 : 1;
        } else {
            const std::size_t end = plainRunEnd(html, i);
            text.add(html.substr(i, end - i));
            i = end;
        }
    }
    return text.take();
}

}  // namespace vellicor
