#include "web/proxy_setting.h"
#include "web/text_util.h"

#include "platform/quote.h"

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

bool isHostPort(const std::string& text) {
    const auto colon = text.rfind(':');
    return text.find_first_of(" \t\r\n/@") == std::string::npos && colon != std::string::npos &&
           colon != 0 && colon + 1 < text.size() && text.size() - colon <= 6 &&
           text.find_first_not_of("0123456789", colon + 1) == std::string::npos;
}

}  // namespace

std::string proxyForDisplay(const std::string& setting) {
    const auto at = setting.rfind('@');
    if (at == std::string::npos) {
        return setting;
    }
    const auto colon = setting.find(':');
    const std::string user = setting.substr(0, colon < at ? colon : at);
    return user + (colon < at ? ":***" : "") + setting.substr(at);
}

Result<ProxySetting> parseProxy(const std::string& setting) {
    const auto at = setting.rfind('@');
    const std::string address = at == std::string::npos ? setting : setting.substr(at + 1);
    auto refuse = [&](const char* why) {
        return makeError(ErrorCode::BadInput,
                         "proxy " + quoteBytes(proxyForDisplay(setting)) + " " + why);
    };
    if (!isHostPort(address)) {
        return refuse("is not [user:password@]host:port");
    }
    ProxySetting out;
    out.url = "http://" + address;
    if (at == std::string::npos) {
        return out;
    }
    const std::string credentials = setting.substr(0, at);
    const auto colon = credentials.find(':');
    out.hasCredentials = true;
    const bool decoded =
        percentDecode(credentials.substr(0, colon), out.user) &&
        (colon == std::string::npos || percentDecode(credentials.substr(colon + 1), out.password));
    if (!decoded) {
        return refuse("has a user name or password that is not percent-encoded text");
    }
    return out;
}

}  // namespace vellicor::web
