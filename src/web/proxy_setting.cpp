#include "web/proxy_setting.h"

#include "platform/quote.h"
#include "web/text_util.h"

namespace vellicor::web {
namespace {

bool percentDecode(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            const int hi = i + 2 < text.size() ? detail::hexValue(text[i + 1]) : -1;
            const int lo = hi >= 0 ? detail::hexValue(text[i + 2]) : -1;
            if (lo < 0) {
                return false;
            }
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
        out += c;
    }
    return true;
}

bool splitHostPort(const std::string& text, ProxySetting& out) {
    const auto colon = text.rfind(':');
    const bool shaped = text.find_first_of(" \t\r\n/@") == std::string::npos &&
                        colon != std::string::npos && colon != 0 && colon + 1 < text.size() &&
                        text.size() - colon <= 6 &&
                        text.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    if (!shaped) {
        return false;
    }
    out.host = text.substr(0, colon);
    out.port = std::stoi(text.substr(colon + 1));
    return out.port > 0 && out.port < 65536;
}

struct Parts {
    std::string scheme;  // lowered, without "://"; empty when none was written
    std::string rest;
    std::string credentials;
    bool hasCredentials = false;
    std::string address;
};

Parts cut(const std::string& setting) {
    Parts p;
    p.rest = setting;
    if (const auto sep = setting.find("://"); sep != std::string::npos) {
        p.scheme = detail::lowered(setting.substr(0, sep));
        p.rest = setting.substr(sep + 3);
    }
    const auto at = p.rest.rfind('@');
    p.hasCredentials = at != std::string::npos;
    p.credentials = p.hasCredentials ? p.rest.substr(0, at) : std::string();
    p.address = p.hasCredentials ? p.rest.substr(at + 1) : p.rest;
    return p;
}

std::string displayOf(const Parts& p) {
    std::string shown = p.scheme == "socks5h" ? "socks5h://" : "";
    if (p.hasCredentials) {
        shown += p.credentials.substr(0, p.credentials.find(':')) + ":***@";
    }
    return shown + p.address;
}

}  // namespace

std::string proxyForDisplay(const std::string& setting) {
    auto parsed = parseProxy(setting);
    return parsed ? parsed->display : std::string("…");
}

Result<ProxySetting> parseProxy(const std::string& setting, const std::string& field) {
    const Parts p = cut(setting);
    ProxySetting out;
    // Quoted only once the address reads as one: before that the text may be anything,
    // a password typed without its host among it.
    const bool addressRead = splitHostPort(p.address, out);
    auto refuse = [&](const std::string& why) {
        const std::string shown = addressRead ? " " + quoteBytes(displayOf(p)) : "";
        return makeError(ErrorCode::BadInput, field + shown + " " + why);
    };
    if (!p.scheme.empty() && p.scheme != "http" && p.scheme != "socks5h") {
        return refuse("has a scheme other than http:// and socks5h://");
    }
    if (!addressRead) {
        return refuse("is not [http://|socks5h://][user:password@]host:port");
    }
    out.kind = p.scheme == "socks5h" ? ProxyKind::Socks5h : ProxyKind::Http;
    out.url = (out.kind == ProxyKind::Socks5h ? "socks5h://" : "http://") + p.address;
    out.display = displayOf(p);
    if (!p.hasCredentials) {
        return out;
    }
    const auto colon = p.credentials.find(':');
    const std::string user = p.credentials.substr(0, colon);
    const std::string password =
        colon == std::string::npos ? std::string() : p.credentials.substr(colon + 1);
    if (user.find_first_of("@/") != std::string::npos ||
        password.find_first_of("@:/") != std::string::npos) {
        return refuse(
            "has a raw '@', ':' or '/' in its user name or password (write %40, %3A, %2F)");
    }
    out.hasCredentials = true;
    if (!percentDecode(user, out.user) || !percentDecode(password, out.password)) {
        return refuse("has a user name or password that is not percent-encoded text");
    }
    return out;
}

}  // namespace vellicor::web
