#include "alert/text_forms.h"

#include <algorithm>
#include <cstdio>

namespace vellicor::alert {
namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string hexByte(unsigned char c, const char* format) {
    char text[8];
    std::snprintf(text, sizeof text, format, c);
    return text;
}

// The length of the UTF-8 character that starts with `lead` (1 for a stray byte, so that
// malformed text still moves on).
std::size_t charLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) {
        return 4;
    }
    if (lead >= 0xE0) {
        return lead < 0xF0 ? 3 : 1;
    }
    return lead >= 0xC0 ? 2 : 1;
}

bool plainHeaderText(std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) {
            return false;
        }
    }
    // Text that looks like an encoded word itself would be read as one.
    return text.find("=?") == std::string_view::npos;
}

}  // namespace

std::string percentEncode(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out += unreserved(u) ? std::string(1, c) : hexByte(u, "%%%02X");
    }
    return out;
}

std::string jsonEscape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u == 0x7F) {
            out += hexByte(u, "\\u%04x");
        } else {
            out += c;
        }
    }
    return out;
}

std::string base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0}) {
            out += kDigits[(v >> shift) & 0x3F];
        }
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kDigits[(v >> 18) & 0x3F];
        out += kDigits[(v >> 12) & 0x3F];
        out += rest == 2 ? kDigits[(v >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}

std::string encodedWords(std::string_view utf8) {
    if (plainHeaderText(utf8)) {
        return std::string(utf8);
    }
    // 39 bytes make 52 digits: with "=?UTF-8?B?" and "?=" a word of 64 characters, which
    // keeps even the first line, after "Subject: ", within the 76 such a line may have.
    constexpr std::size_t kChunk = 39;
    std::string out;
    std::size_t at = 0;
    while (at < utf8.size()) {
        std::size_t end = at;
        while (end < utf8.size()) {
            const std::size_t next =
                std::min(end + charLength(static_cast<unsigned char>(utf8[end])), utf8.size());
            if (next - at > kChunk) {
                break;
            }
            end = next;
        }
        out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") +
               base64(utf8.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

bool toThisComputer(std::string_view url) {
    const auto from = url.find("://") == std::string_view::npos ? 0 : url.find("://") + 3;
    std::string_view authority = url.substr(from, url.find_first_of("/?#", from) - from);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority = authority.substr(at + 1);
    }
    const std::string_view host = authority.starts_with('[')
                                      ? authority.substr(0, authority.find(']') + 1)
                                      : authority.substr(0, authority.find(':'));
    return host == "localhost" || host == "[::1]" || host.starts_with("127.");
}

std::string userInfo(std::string_view url) {
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = url.substr(schemeEnd + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    // The last '@': a password may hold one of its own.
    const auto at = authority.rfind('@');
    return at == std::string_view::npos ? std::string() : std::string(authority.substr(0, at));
}

}  // namespace vellicor::alert
