#include "web/session_cookies.h"

#include "web/text_util.h"

namespace vellicor::web {
namespace {

using detail::lowered;

// A pair that would break the cookie string apart, or smuggle a header line, stays out.
bool nameFits(const StoredCookie& c) {
    return !c.name.empty() && c.name.find_first_of("=; \t\r\n") == std::string::npos;
}

// "deleted" is the merge's own removal marker: such a value can only mean the cookie is gone.
bool valueFits(const StoredCookie& c) {
    return c.value.find_first_of(";\r\n") == std::string::npos && c.value != "deleted";
}

}  // namespace

bool cookieGoesTo(const StoredCookie& cookie, const Address& address) {
    if (cookie.secure && !address.secure) {
        return false;
    }
    const std::string host = lowered(address.host);
    std::string domain = lowered(cookie.domain);
    if (domain.empty()) {
        return false;
    }
    if (domain.front() != '.') {
        return host == domain;
    }
    domain.erase(0, 1);
    return host == domain || (host.size() > domain.size() + 1 && host.ends_with("." + domain));
}

SessionCookies::SessionCookies(std::string mallBase) {
    auto split = splitAddress(mallBase);
    if (split) {
        mall_ = std::move(split.value());
        mallValid_ = true;
    }
}

void SessionCookies::added(const StoredCookie& cookie) {
    if (mallValid_ && cookieGoesTo(cookie, mall_) && nameFits(cookie)) {
        // A value that cannot travel in the string also drops the one held before it.
        merge(cookie.name + "=" + (valueFits(cookie) ? cookie.value : "deleted"));
    }
}

void SessionCookies::removed(const StoredCookie& cookie) {
    if (mallValid_ && cookieGoesTo(cookie, mall_) && nameFits(cookie)) {
        merge(cookie.name + "=deleted");
    }
}

void SessionCookies::clear() {
    const std::lock_guard lock(mutex_);
    held_.clear();
}

std::string SessionCookies::current() const {
    const std::lock_guard lock(mutex_);
    return held_;
}

void SessionCookies::merge(const std::string& pair) {
    const std::lock_guard lock(mutex_);
    held_ = mergeCookies(held_, pair);
}

}  // namespace vellicor::web
