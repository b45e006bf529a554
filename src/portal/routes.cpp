#include <algorithm>

#include "portal/pages.h"

namespace vellicor::portal {
namespace {

bool queryIs(const SimRequest& r, const std::string& key, const std::string& value) {
    const std::string* v = r.param(key);
    return v != nullptr && *v == value;
}

// "/thread-<N>-1-1.html" gives N; anything else gives an empty text.
std::string postNumber(const std::string& path) {
    const std::string head = "/thread-";
    const std::string tail = "-1-1.html";
    if (!path.starts_with(head) || !path.ends_with(tail) ||
        path.size() <= head.size() + tail.size()) {
        return {};
    }
    std::string n = path.substr(head.size(), path.size() - head.size() - tail.size());
    return std::ranges::all_of(n, [](char ch) { return ch >= '0' && ch <= '9'; }) ? n
                                                                                  : std::string{};
}

SimReply notFound() {
    return htmlReply(404, page("404", "<p>很抱歉，您访问的页面不存在</p>"));
}

SimReply routeMall(const SimRequest& r, PageContext& c) {
    if (r.path == "/mall/index.php") {
        return queryIs(r, "op", "exchangeing") ? exchangePage(r, c) : mallIndex(r, c);
    }
    if (r.path == "/mall/classify.php") {
        return classifyPage(r, c);
    }
    if (r.path == "/mall/record.php") {
        return recordPage(r, c);
    }
    return notFound();
}

}  // namespace

SimReply route(const SimRequest& r, PageContext& c) {
    const std::string& p = r.path;
    if (p.starts_with("/mall/")) {
        return routeMall(r, c);
    }
    if (p == "/") {
        return portalHome(r, c);
    }
    if (p == "/cgi-bin/qlogin" || p == "/cgi-bin/login") {
        return loginPage(r, c, p == "/cgi-bin/qlogin");
    }
    if (p == "/cgi-bin/login_submit") {
        return loginSubmit(r, c);
    }
    if (p == "/ptcss/b3/sc/563027201/login.css") {
        return styleSheet();
    }
    if (p == "/center2/indexop.php" && (queryIs(r, "op", "getsign") || queryIs(r, "op", "sign"))) {
        return signinQuery(r, c);
    }
    if (p == "/center/index.php") {
        return centrePage(r, c);
    }
    if (p == "/forum.php") {
        return forumIndex(r, c);
    }
    if (const std::string n = postNumber(p); !n.empty()) {
        return threadPage(r, c, n);
    }
    if (p == "/home.php" && queryIs(r, "mod", "spacecp") && queryIs(r, "ac", "follow")) {
        return followPage(r, c);
    }
    if (p == "/share/home") {
        return downloadPage(r, c);
    }
    return notFound();
}

}  // namespace vellicor::portal
