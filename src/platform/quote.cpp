#include "platform/quote.h"

#include <algorithm>
#include <cstdio>

namespace vellicor {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t sequenceLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t n = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // the allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        hi = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) {
            return 0;
        }
    }
    return n;
}

void appendEscaped(std::string& out, std::string_view bytes) {
    for (unsigned char c : bytes) {
        char buf[5];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    }
}

// U+0080..U+009F: terminals take some of them for control sequences.
bool isC1(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
           static_cast<unsigned char>(sequence[1]) < 0xA0;
}

bool isPlain(unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

}  // namespace

std::size_t utf8Prefix(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t n = sequenceLength(bytes.substr(i));
        if (n == 0) {
            break;
        }
        i += n;
    }
    return i;
}

std::string quoteBytes(std::string_view bytes, std::size_t maxBytes) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t n = sequenceLength(bytes.substr(i));
        const std::size_t step = n == 0 ? 1 : n;
        if (i + step > maxBytes) {
            break;
        }
        const std::string_view piece = bytes.substr(i, step);
        if (n > 1 && !isC1(piece)) {
            out += piece;
        } else if (n == 1 && isPlain(static_cast<unsigned char>(piece[0]))) {
            out += piece[0];
        } else {
            appendEscaped(out, piece);
        }
        i += step;
    }
    out += '"';
    if (i < bytes.size()) {
        out += "…";
    }
    return out;
}

std::string fileText(std::string_view text) {
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t valid = utf8Prefix(text);
        for (std::size_t at = 0; at < valid; ++at) {
            const auto c = static_cast<unsigned char>(text[at]);
            const std::string_view rest = text.substr(at, std::min<std::size_t>(3, valid - at));
            if (rest == "\xEF\xBF\xBE" || rest == "\xEF\xBF\xBF") {
                out += kReplacement;
                at += 2;
            } else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                out += kReplacement;
            } else {
                out += static_cast<char>(c);
            }
        }
        text.remove_prefix(valid);
        if (!text.empty()) {
            out += kReplacement;
            text.remove_prefix(1);
        }
    }
    return out;
}

}  // namespace vellicor
