#pragma once
// The portal and session a subcommand talks to, from --config, --portal and --cookie: with
// neither of the first two a simulator runs in this process, and without --cookie the
// command logs in with the simulator's demo account.

#include <string>

#include "cli/options.h"
#include "platform/result.h"
#include "portal/embedded.h"

namespace vellicor::cli {

struct PortalSession {
    portal::PortalSetup setup;  // keeps an embedded simulator serving while it lives
    std::string cookies;
};

Result<PortalSession> resolveSession(const Options& options);

}  // namespace vellicor::cli
