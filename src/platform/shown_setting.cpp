#include "platform/shown_setting.h"

#include <algorithm>

namespace vellicor {
namespace {

// A path segment this long may be a push service's token.
constexpr std::size_t kTokenLength = 16;

struct Address {
    std::string_view scheme;  // empty without one
    std::string_view user;
    std::string_view password;
    bool hasPassword = false;
    std::string_view host;
    std::string_view port;
    std::string_view path;
    bool hasQuery = false;
    std::string_view query;
    bool hasFragment = false;
    std::string_view fragment;
};

bool alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool all(std::string_view text, bool (*ok)(char)) {
    return std::all_of(text.begin(), text.end(), ok);
}

bool schemeChar(char c) {
    return alnum(c) || c == '+' || c == '-' || c == '.';
}

// Unreserved and percent-encoded bytes, and the few signs user names hold: not the '=', ';'
// and blanks of a cookie.
bool userChar(char c) {
    return alnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '%' || c == '+' ||
           c == '!' || c == '$';
}

bool hostChar(char c) {
    return alnum(c) || c == '-' || c == '.' || c == '_';
}

bool ipv6Char(char c) {
    return alnum(c) || c == ':' || c == '.';
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

bool pathChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F;
}

bool readHostPort(std::string_view text, Address& a) {
    std::string_view rest = text;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos || close < 2 ||
            !all(rest.substr(1, close - 1), ipv6Char)) {
            return false;
        }
        a.host = rest.substr(0, close + 1);
        rest = rest.substr(close + 1);
    } else {
        a.host = rest.substr(0, rest.find(':'));
        if (a.host.empty() || !all(a.host, hostChar)) {
            return false;
        }
        rest = rest.substr(a.host.size());
    }
    if (rest.empty()) {
        return true;
    }
    a.port = rest.substr(1);
    return rest.front() == ':' && !a.port.empty() && a.port.size() <= 5 && all(a.port, digit);
}

std::optional<Address> readAddress(std::string_view value) {
    Address a;
    std::string_view rest = value;
    if (const auto mark = value.find("://"); mark != std::string_view::npos) {
        a.scheme = value.substr(0, mark);
        if (a.scheme.empty() || !alnum(a.scheme.front()) || !all(a.scheme, schemeChar)) {
            return std::nullopt;
        }
        rest = value.substr(mark + 3);
    }
    const auto authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail = rest.substr(authorityEnd);
    // The last '@': a password may hold one of its own.
    const auto at = authority.rfind('@');
    if (at == std::string_view::npos) {
        // A password holding '/' or '#' ends the authority early: what is left of it would be
        // shown as the host, the rest of the password as the path.
        const std::string_view beforeQuery = tail.substr(0, tail.find('?'));
        if (beforeQuery.find('@') != std::string_view::npos ||
            tail.substr(std::min(tail.find('#'), tail.size())).find('@') !=
                std::string_view::npos) {
            return std::nullopt;
        }
    } else {
        const std::string_view info = authority.substr(0, at);
        const auto colon = info.find(':');
        a.user = info.substr(0, colon);
        a.hasPassword = colon != std::string_view::npos;
        a.password = a.hasPassword ? info.substr(colon + 1) : std::string_view();
        if (!all(a.user, userChar) || (a.user.empty() && !a.hasPassword)) {
            return std::nullopt;
        }
        authority = authority.substr(at + 1);
    }
    if (!readHostPort(authority, a) || (a.scheme.empty() && a.port.empty())) {
        return std::nullopt;
    }
    if (const auto hash = tail.find('#'); hash != std::string_view::npos) {
        a.hasFragment = true;
        a.fragment = tail.substr(hash + 1);
        tail = tail.substr(0, hash);
    }
    if (const auto q = tail.find('?'); q != std::string_view::npos) {
        a.hasQuery = true;
        a.query = tail.substr(q + 1);
        tail = tail.substr(0, q);
    }
    if (!all(tail, pathChar) || (a.scheme.empty() && !tail.empty())) {
        return std::nullopt;
    }
    a.path = tail;
    return a;
}

std::string shownPath(std::string_view path) {
    std::string out;
    while (path.starts_with('/')) {
        path.remove_prefix(1);
        const std::string_view segment = path.substr(0, path.find('/'));
        out += "/" + (segment.size() >= kTokenLength ? std::string("…") : std::string(segment));
        path.remove_prefix(segment.size());
    }
    return out;
}

}  // namespace

std::optional<std::string> shownAddress(std::string_view value) {
    const auto a = readAddress(value);
    if (!a) {
        return std::nullopt;
    }
    std::string out = a->scheme.empty() ? std::string() : std::string(a->scheme) + "://";
    if (!a->user.empty() || a->hasPassword) {
        out += std::string(a->user) + (a->hasPassword ? ":***" : "") + "@";
    }
    out += std::string(a->host) + (a->port.empty() ? "" : ":" + std::string(a->port));
    out += shownPath(a->path);
    out += a->hasQuery ? "?***" : "";
    out += a->hasFragment ? "#***" : "";
    return out;
}

std::string shownSetting(std::string_view value) {
    return shownAddress(value).value_or("***");
}

std::vector<std::string> secretParts(std::string_view value) {
    const auto a = readAddress(value);
    if (!a) {
        return {std::string(value)};
    }
    std::vector<std::string> out;
    for (const std::string_view part : {a->password, a->query, a->fragment}) {
        if (!part.empty()) {
            out.emplace_back(part);
        }
    }
    return out;
}

std::string withoutSecrets(std::string text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.empty()) {
            continue;
        }
        for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
            text.replace(at, secret.size(), "***");
        }
    }
    return text;
}

}  // namespace vellicor
