#include "web/page_request.h"

#include <charconv>

#include "platform/codec.h"
#include "platform/shown_setting.h"
#include "web/text_util.h"
#include "web/transfer.h"

namespace vellicor::web {
namespace {

using detail::splitOn;
using detail::startsWithNoCase;
using detail::trimBlanks;

bool hasControlOrBlank(std::string_view s) {
    for (unsigned char c : s) {
        if (c <= 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

// An address may carry a password or a token (user info, query), and one that does not parse
// may be anything: it is shown by the one rule, never quoted.
Error badAddress(std::string_view url, const char* why) {
    return makeError(ErrorCode::BadAddress, "bad address " + shownSetting(url) + ": " + why);
}

bool parsePort(std::string_view text, int& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc() && ptr == text.data() + text.size() && port > 0 && port <= 65535;
}

// Splits "host[:port]" (a bracketed IPv6 literal keeps its colons).
bool splitHostPort(std::string_view authority, std::string& host, int& port) {
    std::size_t colon = std::string_view::npos;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                return false;
            }
            colon = close + 1;
        }
    } else {
        colon = authority.find(':');
    }
    host = std::string(authority.substr(0, colon));
    if (host.empty() || host.find('@') != std::string::npos) {
        return false;
    }
    return colon == std::string_view::npos || parsePort(authority.substr(colon + 1), port);
}

bool isTokenChar(unsigned char c) {
    return c > 0x20 && c < 0x7F &&
           std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

Status checkHeaderLine(std::string_view line) {
    const auto colon = line.find(':');
    if (line.empty()) {
        return makeError(ErrorCode::BadInput, "header text holds an empty line");
    }
    if (line.find_first_of("\r\n") != std::string_view::npos || line.find('\0') != line.npos) {
        return makeError(ErrorCode::BadInput, "header text holds a stray line break");
    }
    if (colon == std::string_view::npos || colon == 0) {
        return makeError(ErrorCode::BadInput,
                         "header line \"" + std::string(line) + "\" is not \"Name: value\"");
    }
    for (unsigned char c : line.substr(0, colon)) {
        if (!isTokenChar(c)) {
            return makeError(ErrorCode::BadInput,
                             "header line \"" + std::string(line) + "\" has a bad name");
        }
    }
    return Ok{};
}

Status checkHeaderText(std::string_view headerText) {
    for (auto line : splitOn(headerText, "\r\n")) {
        if (auto st = checkHeaderLine(line); !st) {
            return st;
        }
    }
    return Ok{};
}

void appendLine(std::string& text, std::string_view line) {
    if (!text.empty()) {
        text += "\r\n";
    }
    text += line;
}

}  // namespace

Result<Address> splitAddress(std::string_view url) {
    Address a;
    std::string_view rest;
    if (startsWithNoCase(url, "https://")) {
        a.secure = true;
        a.port = 443;
        rest = url.substr(8);
    } else if (startsWithNoCase(url, "http://")) {
        rest = url.substr(7);
    } else {
        return badAddress(url, "it does not begin with http:// or https://");
    }
    if (hasControlOrBlank(url)) {
        return badAddress(url, "it holds a blank or a control character");
    }
    const auto end = rest.find_first_of("/?#");
    if (!splitHostPort(rest.substr(0, end), a.host, a.port)) {
        return badAddress(url, "no usable host or port");
    }
    std::string_view path = end == std::string_view::npos ? "" : rest.substr(end);
    path = path.substr(0, path.find('#'));  // a fragment never goes on the wire
    a.path = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
    return a;
}

std::string expandQuoteMarker(std::string_view text, std::string_view quote) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (auto at = text.find(kQuoteMarker); at != std::string_view::npos;
         at = text.find(kQuoteMarker, start)) {
        out.append(text.substr(start, at - start));
        out.append(quote);
        start = at + kQuoteMarker.size();
    }
    out.append(text.substr(start));
    return out;
}

bool hasHeaderLine(std::string_view headerText, std::string_view nameWithColon) {
    for (auto line : splitOn(headerText, "\r\n")) {
        if (startsWithNoCase(line, nameWithColon)) {
            return true;
        }
    }
    return false;
}

std::string chooseAgent(std::string_view headerText) {
    constexpr std::string_view kName = "User-Agent:";
    for (auto line : splitOn(headerText, "\r\n")) {
        if (startsWithNoCase(line, kName)) {
            return std::string(trimBlanks(line.substr(kName.size())));
        }
    }
    return std::string(kDefaultAgent);
}

Result<std::string> completeHeaderText(const PageRequest& request) {
    const auto url = expandQuoteMarker(request.url, "%22");
    if (auto address = splitAddress(url); !address) {
        return address.error();
    }
    if (request.cookies.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        return makeError(ErrorCode::BadInput, "cookie string holds a line break");
    }
    std::string text = expandQuoteMarker(request.headerText, "\"");
    if (auto st = checkHeaderText(text); !st) {
        return st.error();
    }
    if (!hasHeaderLine(text, "Referer:")) {
        appendLine(text, "Referer: " + url);
    }
    if (!hasHeaderLine(text, "Accept:")) {
        appendLine(text, "Accept: */*");
    }
    if (!hasHeaderLine(text, "Accept-Language:")) {
        appendLine(text, "Accept-Language: zh-cn");
    }
    if (request.method == "POST" && !hasHeaderLine(text, "Content-Type:")) {
        appendLine(text, "Content-Type: application/x-www-form-urlencoded");
    }
    if (!request.cookies.empty()) {
        appendLine(text, "Cookie: " + request.cookies);
    }
    return text;
}

Result<std::string> sendableHeaderText(const PageRequest& request) {
    if (request.method != "GET" && request.method != "POST") {
        return makeError(ErrorCode::BadInput,
                         "method \"" + request.method + "\" is not GET or POST");
    }
    return completeHeaderText(request);
}

Result<Reply> pageRequest(const PageRequest& request, const HttpSettings& settings) {
    auto transfer = Transfer::prepare(request, settings);
    if (!transfer) {
        return transfer.error();
    }
    return transfer.value()->finish(curl_easy_perform(transfer.value()->handle()));
}

Result<PageText> fetchPageText(const std::string& url, const std::string& cookies,
                               const HttpSettings& settings) {
    PageRequest request;
    request.url = url;
    request.cookies = cookies;
    auto reply = pageRequest(request, settings);
    if (!reply) {
        return reply.error();
    }
    std::string text = gbkToUtf8(reply->body);
    return PageText{std::move(reply).value(), std::move(text)};
}

}  // namespace vellicor::web
