#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/portal_session.h"
#include "signin/signin.h"

namespace vellicor::cli {

// The labels go to standard output; the progress lines the log box would get go to the
// error stream, so that the output is the seven labels alone, under each account's name
// when an accounts file gives several. The accounts are asked one after the other.
int runSigninStatus(const Args& args) {
    const auto options = Options::parse(args, {"cookie", "accounts", "portal", "config"});
    if (!options) {
        std::fprintf(stderr, "signin-status: %s\n", options.error().message.c_str());
        return kExitUsage;
    }
    if (conflictingSessions(*options)) {
        std::fprintf(stderr, "signin-status: --cookie 与 --accounts 只能给出其一\n");
        return kExitUsage;
    }
    const auto session = resolveSession(*options);
    if (!session) {
        std::fprintf(stderr, "signin-status: %s\n", session.error().message.c_str());
        return kExitFailed;
    }
    int code = kExitOk;
    for (const web::Account& account : session->accounts) {
        if (session->fromFile) {
            const std::string title = "【" + account.name + "】";
            std::printf("%s%s\n", &account == &session->accounts.front() ? "" : "\n",
                        title.c_str());
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", title.c_str());
        }
        const auto result = signin::refreshStates(
            session->configFor(account), account.cookies,
            [](const std::string& line) { std::fputs(line.c_str(), stderr); },
            [](std::size_t, const std::string&) {});
        for (const auto& label : result.labels) {
            std::printf("%s\n", label.c_str());
        }
        std::fflush(stdout);
        if (result.failed != 0) {
            code = kExitFailed;
        }
    }
    return code;
}

}  // namespace vellicor::cli
