#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "platform/codec.h"
#include "platform/html_text.h"
#include "portal/pages.h"
#include "web/text_util.h"

namespace vellicor::portal {
namespace {

// Reads one UTF-8 sequence at text[i]; returns the code point, or -1 for a bad byte.
long nextCodePoint(std::string_view text, std::size_t& i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + static_cast<std::size_t>(len) > text.size()) {
        ++i;
        return -1;
    }
    long cp = len == 1 ? b : b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        const auto t = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((t >> 6) != 2) {
            ++i;
            return -1;
        }
        cp = (cp << 6) | (t & 0x3F);
    }
    i += static_cast<std::size_t>(len);
    return cp;
}

std::tm localTm(WallTime at, int utcOffsetSeconds) {
    const auto secs = std::chrono::floor<std::chrono::seconds>(at.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(secs + utcOffsetSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

std::string lower(std::string s) {
    std::ranges::transform(s, s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

std::string percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && web::detail::hexValue(text[i + 1]) >= 0 &&
            web::detail::hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(web::detail::hexValue(text[i + 1]) * 16 +
                                     web::detail::hexValue(text[i + 2]));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

Pairs parseQuery(std::string_view query) {
    Pairs out;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view field = query.substr(0, amp);
        if (!field.empty()) {
            const auto eq = field.find('=');
            out.emplace_back(percentDecode(field.substr(0, eq), true),
                             eq == std::string_view::npos
                                 ? std::string{}
                                 : percentDecode(field.substr(eq + 1), true));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        query.remove_prefix(amp + 1);
    }
    return out;
}

std::string htmlEscape(std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t start = i;
        const long cp = nextCodePoint(utf8, i);
        const std::string_view ch = utf8.substr(start, i - start);
        if (cp >= 0x20 && (cp < 0x80 || utf8ToGbk(ch).ok())) {
            out += escapeHtml(ch);
        } else {
            // Echoed text may hold anything; what GBK cannot carry goes as a character
            // reference, so the page still encodes.
            out += "&#" + std::to_string(cp < 0 ? 0xFFFD : cp) + ";";
        }
    }
    return out;
}

std::string page(const std::string& title, const std::string& bodyHtml) {
    return "<!DOCTYPE html>\r\n<html><head>"
           "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\">"
           "<title>" +
           title + "</title></head>\r\n<body>\r\n" + bodyHtml + "\r\n</body></html>\r\n";
}

SimReply htmlReply(int status, const std::string& utf8Html) {
    SimReply r;
    r.status = status;
    auto gbk = utf8ToGbk(utf8Html);
    if (gbk.ok()) {
        r.body = std::move(gbk).value();
    } else {
        r.status = 500;
        r.contentType = "text/plain; charset=gbk";
        r.body = "page text cannot be encoded: " + gbk.error().message;
    }
    return r;
}

SimReply notLoggedIn() {
    return htmlReply(200, page("游票商城",
                               "<div class=\"mall_tips\"><p>很抱歉，您还没有登录</p>"
                               "<p><a href=\"/\">返回首页</a></p></div>"));
}

std::string sessionOf(const SimRequest& request, const PageContext& context) {
    auto uin = request.cookies.find("uin");
    auto skey = request.cookies.find("skey");
    if (uin == request.cookies.end() || skey == request.cookies.end()) {
        return {};
    }
    return context.state.sessionAccount(uin->second, skey->second);
}

std::string clockText(WallTime at, int utcOffsetSeconds) {
    const std::tm tm = localTm(at, utcOffsetSeconds);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string dateTimeText(WallTime at, int utcOffsetSeconds) {
    const std::tm tm = localTm(at, utcOffsetSeconds);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool isOnSimulator(const std::string& address, const PageContext& context) {
    // A line break or a backslash in a Location value is how redirects get bent elsewhere.
    if (address.empty() || address.find_first_of("\r\n\\") != std::string::npos ||
        std::ranges::any_of(address, [](unsigned char c) { return c < 0x20 || c == 0x7F; })) {
        return false;
    }
    if (address[0] == '/') {
        return address.size() == 1 || address[1] != '/';
    }
    const std::string low = lower(address);
    std::size_t start = 0;
    if (low.starts_with("http://")) {
        start = 7;
    } else if (low.starts_with("https://")) {
        start = 8;
    } else {
        return false;
    }
    const auto end = low.find_first_of("/?#", start);
    const std::string authority = low.substr(start, end - start);
    return std::ranges::any_of(context.selfAuthorities,
                               [&](const std::string& a) { return lower(a) == authority; });
}

const std::string* SimRequest::param(const std::string& key) const {
    for (const auto& [k, v] : query) {
        if (k == key) {
            return &v;
        }
    }
    return nullptr;
}

Pairs SimRequest::form() const {
    if (lower(contentType).find("application/x-www-form-urlencoded") == std::string::npos) {
        return {};
    }
    return parseQuery(body);
}

SimRequest makeRequest(std::string method, std::string target, const std::string& cookieHeader,
                       std::string body, std::string contentType) {
    SimRequest r;
    r.method = std::move(method);
    r.target = std::move(target);
    const auto q = r.target.find('?');
    r.path = r.target.substr(0, q);
    if (q != std::string::npos) {
        r.query = parseQuery(std::string_view(r.target).substr(q + 1));
    }
    std::string_view rest = cookieHeader;
    while (!rest.empty()) {
        const auto semi = rest.find(';');
        std::string_view pair = rest.substr(0, semi);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && eq > 0) {
            r.cookies.emplace(std::string(pair.substr(0, eq)), std::string(pair.substr(eq + 1)));
        }
        if (semi == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(semi + 1);
    }
    r.body = std::move(body);
    r.contentType = std::move(contentType);
    return r;
}

}  // namespace vellicor::portal
