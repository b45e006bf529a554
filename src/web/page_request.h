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

// Splits "http[s]://host[:port][/path]". Anything else is a BadAddress error.
Result<Address> splitAddress(std::string_view url);

struct PageRequest {
    std::string url;
    std::string method = "GET";
    std::string body;        // sent with POST only
    std::string cookies;     // cookie string "a=1; b=2"
    std::string headerText;  // extra lines "Name: value" joined by "\r\n"
    std::string proxy;       // host:port, empty for none
};

struct Reply {
    long status = 0;
    std::string body;        // raw bytes as received (GBK from the portal)
    std::string headerText;  // status line and headers, each ending "\r\n"
    std::string cookies;     // name=value of every Set-Cookie line, joined by "; "
    std::string redirect;    // the Location value, empty when none
};

// The agent the request carries: the value of a "User-Agent:" line of the header text,
// else the default agent string.
std::string chooseAgent(std::string_view headerText);

// The header text as sent: the caller's lines, then Referer, Accept, Accept-Language,
// Content-Type (with a body) and Cookie, each only where the caller's text lacks it.
// Fails when the header text or the cookie string would inject a line of its own.
Result<std::string> completeHeaderText(const PageRequest& request);

// Reply cookies from a raw reply header text.
std::string replyCookies(std::string_view replyHeaderText);
// The Location value from a raw reply header text.
std::string redirectTarget(std::string_view replyHeaderText);

// Merges new pairs (normally reply cookies) into a held cookie string.
std::string mergeCookies(std::string_view held, std::string_view fresh);

// Performs one request: blocking, safe from any thread, every handle closed on every path.
Result<Reply> pageRequest(const PageRequest& request, const HttpSettings& settings);

}  // namespace vellicor::web
