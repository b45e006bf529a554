#include "platform/config_resolution.h"

namespace vellicor {
namespace {

// scheme://host[:port] with nothing after it but an optional "/": a path or query would be
// silently dropped by withPortal, and user information would leak into every page address.
bool isPortalBase(const std::string& url) {
    std::string rest;
    if (url.starts_with("http://")) {
        rest = url.substr(7);
    } else if (url.starts_with("https://")) {
        rest = url.substr(8);
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    return !rest.empty() && rest.find_first_of("/?#@ \t\r\n") == std::string::npos;
}

}  // namespace

Result<ResolvedConfig> resolveConfig(const std::string& configFile, const std::string& portalUrl) {
    ResolvedConfig resolved;
    resolved.config = Config::defaults();
    if (!configFile.empty()) {
        auto loaded = loadConfig(configFile);
        if (!loaded.ok()) {
            return loaded.error();
        }
        resolved.config = std::move(loaded).value();
    }
    if (!portalUrl.empty()) {
        if (!isPortalBase(portalUrl)) {
            return makeError(ErrorCode::BadAddress,
                             "--portal takes scheme://host[:port], not " + portalUrl);
        }
        resolved.config = resolved.config.withPortal(portalUrl);
    }
    resolved.wantsEmbedded = configFile.empty() && portalUrl.empty();
    return resolved;
}

}  // namespace vellicor
