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

struct HostKey {
    const char* key;
    std::string Config::*base;
};
constexpr HostKey kHostKeys[] = {
    {"mall", &Config::mall},
    {"quick_login", &Config::quickLogin},
    {"account_login", &Config::accountLogin},
    {"image", &Config::image},
    {"forum", &Config::forum},
    {"download", &Config::download},
};

}  // namespace

bool isPlaceholderHost(const std::string& base) {
    std::string host =
        base.substr(base.find("://") == std::string::npos ? 0 : base.find("://") + 3);
    host = host.substr(0, host.find_first_of(":/"));
    return host.empty() || host == "invalid" || host.ends_with(".invalid");
}

std::vector<std::string> unsetPortalKeys(const Config& config) {
    std::vector<std::string> keys;
    for (const HostKey& h : kHostKeys) {
        if (isPlaceholderHost(config.*h.base)) {
            keys.emplace_back(h.key);
        }
    }
    return keys;
}

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
    // A file of tuning alone is no reason to leave the simulator for hosts that do not exist.
    resolved.wantsEmbedded =
        portalUrl.empty() && unsetPortalKeys(resolved.config).size() == std::size(kHostKeys);
    return resolved;
}

}  // namespace vellicor
