#pragma once
// Small text helpers shared by the page request's sources.

#include <string>
#include <string_view>
#include <vector>

namespace vellicor::web::detail {

inline bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// ASCII letters lowered, whatever the process locale says about bytes above 0x7F.
inline std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// The value of a hexadecimal digit, or -1.
inline int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

inline bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

inline std::string_view trimBlanks(std::string_view s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Splits at every occurrence of `sep`; an empty text gives no pieces.
inline std::vector<std::string_view> splitOn(std::string_view text, std::string_view sep) {
    std::vector<std::string_view> pieces;
    if (text.empty()) {
        return pieces;
    }
    std::size_t start = 0;
    while (true) {
        const auto at = text.find(sep, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + sep.size();
    }
}

}  // namespace vellicor::web::detail
