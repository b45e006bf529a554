#pragma once
// The portal and session a subcommand talks to, from --config, --portal and --cookie: with
// neither of the first two a simulator runs in this process. The session is the --cookie
// string; only the simulator started here is logged in with its demo account without one, so
// that the demo login never goes to a portal the user named.

#include <string>

#include "cli/options.h"
#include "platform/result.h"
#include "portal/embedded.h"

namespace vellicor::cli {

struct PortalSession {
    portal::PortalSetup setup;  // keeps an embedded simulator serving while it lives
    std::string cookies;
    bool demo = false;  // logged in with the simulator's demo account
};

Result<PortalSession> resolveSession(const Options& options);

}  // namespace vellicor::cli
