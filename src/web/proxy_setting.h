#pragma once
// A proxy setting, "[http://|socks5h://][user:password@]host:port", split into what libcurl
// and the run's own tunnels take apart: the address alone, the kind, and the credentials for
// their own options, so that the password is never part of a text the tool may print. The
// one reading for http.proxy, an account's proxy (its file and the window) and the command
// line's --proxy.

#include <string>

#include "platform/result.h"

namespace vellicor::web {

enum class ProxyKind {
    Http,    // CONNECT for HTTPS, forwarding for plain HTTP; a bare host:port is this
    Socks5h  // SOCKS5, the mall's name resolved by the proxy
};

struct ProxySetting {
    ProxyKind kind = ProxyKind::Http;
    std::string url;   // "http://host:port" or "socks5h://host:port"
    std::string host;  // as written ("[::1]" with its brackets)
    int port = 0;
    bool hasCredentials = false;
    std::string user;  // percent-decoded
    std::string password;
    std::string display;  // as messages show it: "user:***@host:port"
};

// A '%' must start a "%XX" escape and nothing may decode to a control byte; '@', ':' and '/'
// in the password must be escaped (a raw one would make the setting mean something else).
// The error names `field` and quotes at most the display form, never a password.
Result<ProxySetting> parseProxy(const std::string& setting, const std::string& field = "proxy");

// The setting as a message may show it: "host:port", "user:***@host:port", with
// "socks5h://" before a SOCKS one. A setting that does not parse shows as "…".
std::string proxyForDisplay(const std::string& setting);

}  // namespace vellicor::web
