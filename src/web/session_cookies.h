#pragma once
// The session cookie string for the mall host, kept current from the browser's cookie store:
// every cookie the panes receive or lose is merged in when the mall would be sent it.

#include <mutex>
#include <string>
#include <string_view>

#include "web/page_request.h"

namespace vellicor::web {

struct StoredCookie {
    std::string name;
    std::string value;
    std::string domain;  // ".example.com" for a domain cookie, "host" for a host-only one
    bool secure = false;
};

// True when a request to the address would carry the cookie: its domain matches the host
// (exactly, or as a parent domain for a domain cookie) and a secure cookie goes to https only.
bool cookieGoesTo(const StoredCookie& cookie, const Address& address);

class SessionCookies {
  public:
    explicit SessionCookies(std::string mallBase);

    // Feeds of the cookie store; cookies for other hosts are ignored.
    void added(const StoredCookie& cookie);
    void removed(const StoredCookie& cookie);
    void clear();

    // An immutable copy for one run of workers; later changes do not reach it.
    std::string current() const;

  private:
    void merge(const std::string& pair);

    Address mall_;
    bool mallValid_ = false;
    mutable std::mutex mutex_;
    std::string held_;
};

}  // namespace vellicor::web
