#pragma once
// The proxy setting, "[user:password@]host:port", split into what libcurl takes apart: the
// address alone for CURLOPT_PROXY and the credentials for their own options, so that the
// password is never part of a text the tool may print.

#include <string>

#include "platform/result.h"

namespace vellicor::web {

struct ProxySetting {
    std::string url;  // "http://host:port"
    bool hasCredentials = false;
    std::string user;  // percent-decoded
    std::string password;
};

// Splits at the last '@' (a password may hold a raw '@'); the user name ends at the first
// ':'. A '%' must start a "%XX" escape, and neither part may decode to a control byte.
// The error text names the setting as proxyForDisplay() does.
Result<ProxySetting> parseProxy(const std::string& setting);

// The setting as a message may show it: "host:port", or "user:***@host:port".
std::string proxyForDisplay(const std::string& setting);

}  // namespace vellicor::web
