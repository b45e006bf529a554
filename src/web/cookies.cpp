#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "web/page_request.h"
#include "web/text_util.h"

namespace vellicor::web {
namespace {

using detail::splitOn;
using detail::startsWithNoCase;
using detail::trimBlanks;

// The value of a reply header line "Name: value" when the line carries that name.
bool headerValue(std::string_view line, std::string_view nameWithColon, std::string_view& value) {
    if (!startsWithNoCase(line, nameWithColon)) {
        return false;
    }
    value = trimBlanks(line.substr(nameWithColon.size()));
    return true;
}

std::vector<std::string_view> replyLines(std::string_view headerText) {
    std::vector<std::string_view> lines;
    for (auto line : splitOn(headerText, "\n")) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
    }
    return lines;
}

struct Pair {
    std::string name;
    std::string text;  // the whole trimmed pair as written
};

std::vector<Pair> splitPairs(std::string_view cookies) {
    std::vector<Pair> pairs;
    for (auto piece : splitOn(cookies, ";")) {
        const auto pair = trimBlanks(piece);
        if (pair.empty()) {
            continue;
        }
        pairs.push_back(
            {std::string(trimBlanks(pair.substr(0, pair.find('=')))), std::string(pair)});
    }
    return pairs;
}

bool isDeletion(const Pair& p) {
    constexpr std::string_view kDeleted = "=deleted";
    return p.text.size() == p.name.size() + kDeleted.size() &&
           std::string_view(p.text).substr(p.name.size()) == kDeleted;
}

}  // namespace

std::string replyCookies(std::string_view replyHeaderText) {
    std::string out;
    for (auto line : replyLines(replyHeaderText)) {
        std::string_view value;
        if (!headerValue(line, "Set-Cookie:", value)) {
            continue;
        }
        const auto pair = trimBlanks(value.substr(0, value.find(';')));
        if (pair.empty()) {
            continue;
        }
        if (!out.empty()) {
            out += "; ";
        }
        out += pair;
    }
    return out;
}

std::string redirectTarget(std::string_view replyHeaderText) {
    for (auto line : replyLines(replyHeaderText)) {
        std::string_view value;
        if (headerValue(line, "Location:", value)) {
            return std::string(value);
        }
    }
    return {};
}

std::string mergeCookies(std::string_view held, std::string_view fresh) {
    auto pairs = splitPairs(held);
    for (auto& incoming : splitPairs(fresh)) {
        auto same = [&](const Pair& p) { return p.name == incoming.name; };
        auto it = std::find_if(pairs.begin(), pairs.end(), same);
        if (isDeletion(incoming)) {
            pairs.erase(std::remove_if(pairs.begin(), pairs.end(), same), pairs.end());
        } else if (it != pairs.end()) {
            // A held string that already carries a name twice keeps only the first place.
            const auto name = incoming.name;
            *it = std::move(incoming);
            pairs.erase(std::remove_if(std::next(it), pairs.end(),
                                       [&](const Pair& p) { return p.name == name; }),
                        pairs.end());
        } else {
            pairs.push_back(std::move(incoming));
        }
    }
    std::string out;
    for (const auto& p : pairs) {
        if (!out.empty()) {
            out += "; ";
        }
        out += p.text;
    }
    return out;
}

}  // namespace vellicor::web
