#pragma once
// The page request: the one HTTP operation every request of the logic goes through, and the
// text forms around it (header text, cookie string, reply cookies, cookie merge).

#include <string>
#include <string_view>

#include "platform/config.h"
#include "platform/result.h"

namespace vellicor::web {

inline constexpr std::string_view kDefaultAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; ZR8QW; .NET CLR 2.0.50727; "
    ".NET CLR 3.0.04506.648; .NET CLR 3.5.21022)";

struct Address {
    bool secure = false;
    std::string host;
    int port = 80;
    std::string path;  // object path with its query, "/" when none
};

// Splits "http[s]://host[:port][/path]" (the scheme in any letter case; a "?" also ends the
// host). Anything else, or an address holding blanks or control bytes, is a BadAddress error.
Result<Address> splitAddress(std::string_view url);

// Callers write this marker where a text needs a double quote that is awkward to write.
// In the header text and the body it becomes '"'; in the address it becomes "%22", the
// double quote as an address may carry it.
inline constexpr std::string_view kQuoteMarker = "#引号";
std::string expandQuoteMarker(std::string_view text, std::string_view quote);

// Every text goes out byte for byte as given (the portal expects GBK in a body).
struct PageRequest {
    std::string url;
    std::string method = "GET";  // "GET" or "POST"
    std::string body;            // sent with POST only
    std::string cookies;         // cookie string "a=1; b=2"
    std::string headerText;      // extra lines "Name: value" joined by "\r\n"
    std::string proxy;           // as HttpSettings::proxy; empty for that one (empty: none)
};

struct Reply {
    long status = 0;
    std::string body;        // raw bytes as received (GBK from the portal)
    std::string headerText;  // status line and headers, each ending "\r\n"
    std::string cookies;     // name=value of every Set-Cookie line, joined by "; "
    std::string redirect;    // the Location value (a relative one made absolute), or empty
};

// The agent the request carries: the value of a "User-Agent:" line of the header text,
// else the default agent string. Header names are matched at a line's start, in any case.
std::string chooseAgent(std::string_view headerText);

// Whether the header text has a line starting with `nameWithColon` ("Accept:"), in any case.
bool hasHeaderLine(std::string_view headerText, std::string_view nameWithColon);

// The header text as sent: the caller's lines (a User-Agent line among them stays), then
// Referer (the request's own address), Accept, Accept-Language, Content-Type (every POST)
// and Cookie (from the cookie string alone), each default only where the caller's text
// lacks it. "#引号" is expanded first. A line break inside the cookie string, a lone CR or
// LF, an empty line, or a line that is not "Name: value" in the header text is a BadInput
// error: it would smuggle header lines of its own onto the wire.
Result<std::string> completeHeaderText(const PageRequest& request);

// The header text of a request that can be sent as it stands: GET or POST (else BadInput),
// completed as completeHeaderText() does.
Result<std::string> sendableHeaderText(const PageRequest& request);

// Reply cookies from a raw reply header text.
std::string replyCookies(std::string_view replyHeaderText);
// The Location value from a raw reply header text.
std::string redirectTarget(std::string_view replyHeaderText);

// Merges new pairs (normally reply cookies) into a held cookie string: pairs are trimmed,
// "name=deleted" removes the held pair, a held name is replaced in place, a new one is
// appended; joined with "; ". Empty pairs are dropped; a pair without "=" is a name with
// an empty value, kept as written.
std::string mergeCookies(std::string_view held, std::string_view fresh);

// Performs one request: blocking, safe from any thread, every handle closed on every path.
Result<Reply> pageRequest(const PageRequest& request, const HttpSettings& settings);

// A page of the portal fetched with a cookie string (GET, no body), with its body decoded
// from GBK: what the readers of the record page and the sign-in query search.
struct PageText {
    Reply reply;
    std::string text;  // the body as UTF-8
};
Result<PageText> fetchPageText(const std::string& url, const std::string& cookies,
                               const HttpSettings& settings);

}  // namespace vellicor::web
