#pragma once
// Which configuration a front end runs with, from its --config and --portal options. Neither
// option means the embedded default: the caller starts the portal simulator and points the
// configuration at it, so that nothing window- or server-related is needed to decide here.

#include <string>

#include "platform/config.h"
#include "platform/result.h"

namespace vellicor {

struct ResolvedConfig {
    Config config;
    bool wantsEmbedded = false;  // neither a file nor a portal address was given
};

// configFile: an INI file or empty (the defaults). portalUrl: scheme://host[:port] or empty;
// it replaces every publisher host of the configuration.
Result<ResolvedConfig> resolveConfig(const std::string& configFile, const std::string& portalUrl);

}  // namespace vellicor
