#pragma once
// Which configuration a front end runs with, from its --config and --portal options. Neither
// option, or a file that names no publisher host (only tuning, say), means the embedded
// default: the caller starts the portal simulator and points the configuration at it, so that
// nothing window- or server-related is needed to decide here.

#include <string>
#include <vector>

#include "platform/config.h"
#include "platform/result.h"

namespace vellicor {

struct ResolvedConfig {
    Config config;
    // No portal address was given, and no file or one that names none of the hosts.
    bool wantsEmbedded = false;
};

// Whether a base address is one of the placeholders of the defaults (a host under the
// reserved ".invalid"), which no page can be loaded from.
bool isPlaceholderHost(const std::string& base);

// The [portal] keys of the publisher hosts still on a placeholder ("quick_login", "image"
// ...), in the file's order: what a file that names some hosts has yet to set.
std::vector<std::string> unsetPortalKeys(const Config& config);

// configFile: an INI file or empty (the defaults). portalUrl: scheme://host[:port] or empty;
// it replaces every publisher host of the configuration.
Result<ResolvedConfig> resolveConfig(const std::string& configFile, const std::string& portalUrl);

}  // namespace vellicor
