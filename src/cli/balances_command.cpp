#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/portal_session.h"
#include "mall/balances.h"

namespace vellicor::cli {

// With an accounts file each account's block starts with its name; one account that fails
// is said and the others still read.
int runBalances(const Args& args) {
    const auto options = Options::parse(args, {"cookie", "accounts", "portal", "config"});
    if (!options) {
        std::fprintf(stderr, "balances: %s\n", options.error().message.c_str());
        return kExitUsage;
    }
    if (conflictingSessions(*options)) {
        std::fprintf(stderr, "balances: --cookie 与 --accounts 只能给出其一\n");
        return kExitUsage;
    }
    const auto session = resolveSession(*options);
    if (!session) {
        std::fprintf(stderr, "balances: %s\n", session.error().message.c_str());
        return kExitFailed;
    }
    int code = kExitOk;
    for (const web::Account& account : session->accounts) {
        if (session->fromFile) {
            std::printf("%s【%s】\n", &account == &session->accounts.front() ? "" : "\n",
                        account.name.c_str());
            std::fflush(stdout);
        }
        const auto balances = mall::readBalances(session->configFor(account), account.cookies);
        if (!balances) {
            const std::string who = session->fromFile ? "【" + account.name + "】" : "";
            std::fprintf(stderr, "balances: %s%s\n", who.c_str(), balances.error().message.c_str());
            code = kExitFailed;
            continue;
        }
        for (const auto& b : *balances) {
            std::printf("%s\n", b.text.c_str());
        }
    }
    return code;
}

}  // namespace vellicor::cli
