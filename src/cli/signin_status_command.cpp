#include <cstdio>

#include "cli/commands.h"
#include "cli/portal_session.h"
#include "signin/signin.h"

namespace vellicor::cli {

// The labels go to standard output; the progress lines the log box would get go to the
// error stream, so that the output is the seven labels alone.
int runSigninStatus(const Args& args) {
    const auto options = Options::parse(args, {"cookie", "portal", "config"});
    if (!options) {
        std::fprintf(stderr, "signin-status: %s\n", options.error().message.c_str());
        return kExitUsage;
    }
    const auto session = resolveSession(*options);
    if (!session) {
        std::fprintf(stderr, "signin-status: %s\n", session.error().message.c_str());
        return kExitFailed;
    }
    const auto result = signin::refreshStates(
        session->setup.config, session->cookies,
        [](const std::string& line) { std::fputs(line.c_str(), stderr); },
        [](std::size_t, const std::string&) {});
    for (const auto& label : result.labels) {
        std::printf("%s\n", label.c_str());
    }
    return result.failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace vellicor::cli
