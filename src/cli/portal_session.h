#pragma once
// The portal and sessions a subcommand talks to, from --config, --portal, and --cookie or
// --accounts: with neither of the first two a simulator runs in this process. The session is
// the --cookie string, or each account of the --accounts file; only the simulator started here
// is logged in with its demo account without either, so that the demo login never goes to a
// portal the user named. In an accounts file for the simulator started here, the cookie
// string "demo" has the demo log in the account the line names by its number.

#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/config.h"
#include "platform/result.h"
#include "portal/embedded.h"
#include "web/accounts.h"

namespace vellicor::cli {

struct PortalSession {
    portal::PortalSetup setup;  // keeps an embedded simulator serving while it lives
    // At least one; --cookie and the demo login give one of no name.
    std::vector<web::Account> accounts;
    bool fromFile = false;  // the accounts come from --accounts: output names each one
    // The accounts logged in by the simulator started here, by name ("" for the demo's own).
    std::vector<std::string> demo;

    // The portal's configuration with the account's own proxy, for its own requests.
    Config configFor(const web::Account& account) const;
};

// A command line that gives both --cookie and --accounts, which the commands refuse as not
// understood.
bool conflictingSessions(const Options& options);

// Every fault of the options and of the accounts file is found before the simulator starts
// and before anything is sent.
Result<PortalSession> resolveSession(const Options& options);

}  // namespace vellicor::cli
