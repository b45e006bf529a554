#pragma once
// Reading back what the alerts wrote: Base64, a mail's head and body, its encoded words.

#include <string>
#include <vector>

namespace vellicor::test {

inline std::vector<std::string> split(const std::string& text, const std::string& sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (auto at = text.find(sep); at != std::string::npos; at = text.find(sep, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + sep.size();
    }
    parts.push_back(text.substr(start));
    return parts;
}

inline std::string unbase64(const std::string& digits) {
    static const std::string kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (const char c : digits) {
        const auto at = kDigits.find(c);
        if (at == std::string::npos) {
            continue;  // '=' and line breaks
        }
        value = (value << 6) | static_cast<unsigned>(at);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

// Whether the bytes end on a character's end (no sequence cut at either side).
inline bool wholeUtf8(const std::string& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = lead < 0x80    ? 1
                              : lead >= 0xF0 ? 4
                              : lead >= 0xE0 ? 3
                              : lead >= 0xC0 ? 2
                                             : 0;
        if (n == 0 || i + n > bytes.size()) {
            return false;
        }
        i += n;
    }
    return true;
}

// A header's value, its folded lines joined by a blank; empty when it is not there.
inline std::string header(const std::string& head, const std::string& name) {
    std::string value;
    bool in = false;
    for (const std::string& line : split(head, "\r\n")) {
        if (in && (line.starts_with(" ") || line.starts_with("\t"))) {
            value += " " + line.substr(1);
            continue;
        }
        if (in) {
            break;
        }
        if (line.size() > name.size() && line.compare(0, name.size() + 1, name + ":") == 0) {
            in = true;
            value = line.substr(name.size() + 1);
            value.erase(0, value.find_first_not_of(' '));
        }
    }
    return value;
}

// The text of a subject of UTF-8 Base64 encoded words (blanks between them ignored).
inline std::string decodeSubject(const std::string& value) {
    std::string out;
    for (const std::string& word : split(value, " ")) {
        if (word.starts_with("=?UTF-8?B?") && word.ends_with("?=")) {
            out += unbase64(word.substr(10, word.size() - 12));
        } else {
            out += word;
        }
    }
    return out;
}

}  // namespace vellicor::test
