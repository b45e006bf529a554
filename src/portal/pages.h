#pragma once
// The portal's pages: a request in, a reply out, no network. Texts are written in UTF-8 and
// leave as GBK.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "portal/mall_state.h"

namespace vellicor::portal {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct SimRequest {
    std::string method;
    std::string target;  // as received
    std::string path;    // target up to "?"
    Pairs query;         // decoded, in order
    std::map<std::string, std::string> cookies;
    std::string body;
    std::string contentType;

    const std::string* param(const std::string& key) const;  // query, then form body
    Pairs form() const;                                      // the body as form fields
};

struct SimReply {
    int status = 200;
    std::string contentType = "text/html; charset=gbk";
    Pairs headers;  // Set-Cookie, Location and the like
    std::string body;
};

struct PageContext {
    MallState& state;
    PortalTime time;
    std::vector<std::string> selfAuthorities;  // "127.0.0.1:P", "localhost:P", ...
};

// Parses the target, the Cookie header and the body into a SimRequest.
SimRequest makeRequest(std::string method, std::string target, const std::string& cookieHeader,
                       std::string body, std::string contentType);

SimReply route(const SimRequest& request, PageContext& context);

// Helpers shared by the page files.
std::string percentDecode(std::string_view text, bool plusIsSpace);
Pairs parseQuery(std::string_view query);
// escapeHtml, with a control character and what GBK cannot carry written as a numeric
// reference.
std::string htmlEscape(std::string_view utf8);
std::string page(const std::string& title, const std::string& bodyHtml);
SimReply htmlReply(int status, const std::string& utf8Html);
SimReply notLoggedIn();
// The account behind the request's session cookies, or empty.
std::string sessionOf(const SimRequest& request, const PageContext& context);
std::string clockText(WallTime at, int utcOffsetSeconds);     // HH:MM:SS local
std::string dateTimeText(WallTime at, int utcOffsetSeconds);  // YYYY-MM-DD HH:MM:SS local
bool isOnSimulator(const std::string& address, const PageContext& context);

// Page groups, each in its own file.
SimReply loginPage(const SimRequest& r, PageContext& c, bool quick);
SimReply loginSubmit(const SimRequest& r, PageContext& c);
SimReply styleSheet();
SimReply mallIndex(const SimRequest& r, PageContext& c);
SimReply exchangePage(const SimRequest& r, PageContext& c);
SimReply classifyPage(const SimRequest& r, PageContext& c);
SimReply recordPage(const SimRequest& r, PageContext& c);
SimReply signinQuery(const SimRequest& r, PageContext& c);
SimReply centrePage(const SimRequest& r, PageContext& c);
SimReply portalHome(const SimRequest& r, PageContext& c);
SimReply forumIndex(const SimRequest& r, PageContext& c);
SimReply threadPage(const SimRequest& r, PageContext& c, const std::string& thread);
SimReply followPage(const SimRequest& r, PageContext& c);
SimReply downloadPage(const SimRequest& r, PageContext& c);

}  // namespace vellicor::portal
