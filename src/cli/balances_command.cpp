#include <cstdio>

#include "cli/commands.h"
#include "cli/portal_session.h"
#include "mall/balances.h"

namespace vellicor::cli {

int runBalances(const Args& args) {
    const auto options = Options::parse(args, {"cookie", "portal", "config"});
    if (!options) {
        std::fprintf(stderr, "balances: %s\n", options.error().message.c_str());
        return 2;
    }
    const auto session = resolveSession(*options);
    if (!session) {
        std::fprintf(stderr, "balances: %s\n", session.error().message.c_str());
        return 1;
    }
    const auto balances = mall::readBalances(session->setup.config, session->cookies);
    if (!balances) {
        std::fprintf(stderr, "balances: %s\n", balances.error().message.c_str());
        return 1;
    }
    for (const auto& b : *balances) {
        std::printf("%s\n", b.text.c_str());
    }
    return 0;
}

}  // namespace vellicor::cli
