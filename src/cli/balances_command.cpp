#include <cstdio>

#include "cli/commands.h"
#include "cli/portal_session.h"
#include "mall/balances.h"

namespace vellicor::cli {

int runBalances(const Args& args) {
    const auto options = Options::parse(args, {"cookie", "portal", "config"});
    if (!options) {
        std::fprintf(stderr, "balances: %s\n", options.error().message.c_str());
        return kExitUsage;
    }
    const auto session = resolveSession(*options);
    if (!session) {
        std::fprintf(stderr, "balances: %s\n", session.error().message.c_str());
        return kExitFailed;
    }
    const auto balances = mall::readBalances(session->setup.config, session->cookies);
    if (!balances) {
        std::fprintf(stderr, "balances: %s\n", balances.error().message.c_str());
        return kExitFailed;
    }
    for (const auto& b : *balances) {
        std::printf("%s\n", b.text.c_str());
    }
    return kExitOk;
}

}  // namespace vellicor::cli
