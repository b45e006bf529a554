#pragma once
// The embedded default: with neither a configuration file nor a portal address, the tool
// runs against a simulator started in its own process on a free loopback port.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/config.h"
#include "platform/config_resolution.h"
#include "platform/result.h"
#include "portal/server.h"

namespace vellicor::portal {

// How many requests the embedded simulator's record keeps (the newest). Its record is for
// tests and for the program's own start-up; a demo run of 44,000 requests must not leave
// tens of megabytes behind in it each time.
inline constexpr std::size_t kEmbeddedLogRecords = 1000;

struct PortalSetup {
    Config config;
    // Set only when the simulator was started here; it serves as long as this lives.
    std::unique_ptr<Server> server;
};

// Starts the simulator when the resolved configuration wants the embedded default and points
// every publisher host at it; otherwise the configuration is taken as it is.
Result<PortalSetup> startEmbedded(ResolvedConfig resolved);

// Logs in with a demo account (the first unless named) through the login form of the
// configured login host, as a browser would, and returns the session cookie string the login
// set.
Result<std::string> demoLogin(const Config& config, const std::string& account = kDemoAccount);

}  // namespace vellicor::portal
