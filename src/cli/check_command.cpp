// vellicor-cli check: the readiness check of the run `exchange` would make with the same
// command line, without sending any exchange request. A line per point, a summary last; the
// exit status says whether anything failed, for a script (the service) to go on regardless.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "alert/alerter.h"
#include "cli/commands.h"
#include "cli/portal_session.h"
#include "cli/run_options.h"
#include "cli/unattended.h"
#include "run/readiness.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message, int code = kExitFailed) {
    std::fprintf(stderr, "vellicor-cli check: %s\n", message.c_str());
    return code;
}

// The failures' alerts are on their way when the lines are done: they get this long.
constexpr std::chrono::seconds kAlertFlush{20};

}  // namespace

int runCheck(const Args& args) {
    if (auto plain = runOptions(args, RunCommand::Check); !plain) {
        return fail(plain.error().message, kExitUsage);
    }
    auto opts = runOptionsWithFile(args, RunCommand::Check);
    if (!opts) {
        return fail(opts.error().message);
    }
    if (!opts->positional().empty()) {
        return fail("unexpected argument " + opts->positional().front(), kExitUsage);
    }
    if (!opts->has("items") || !opts->has("threads")) {
        return fail("--items and --threads are required", kExitUsage);
    }
    if (conflictingSessions(*opts)) {
        return fail("--cookie 与 --accounts 只能给出其一", kExitUsage);
    }
    if (auto st = refuseSimulator(*opts); !st) {
        return fail(st.error().message);
    }
    auto request = runRequestOf(*opts);
    if (!request) {
        return fail(request.error().message);
    }
    auto session = resolveSession(opts.value());
    if (!session) {
        return fail(session.error().message);
    }
    run::ReadinessSetup setup;
    setup.config = session->setup.config;
    setup.log = printLine;
    if (opts->has("alerts")) {
        setup.alerter = std::make_shared<alert::Alerter>(setup.config, printLine);
    }
    const run::Readiness readiness = run::checkReadiness(
        setup, {run::RunInput{request->items, request->threads, session->accounts}, request->at});
    if (setup.alerter) {
        setup.alerter->close(kAlertFlush);
    }
    return readiness.ready() ? kExitOk : kExitFailed;
}

}  // namespace vellicor::cli
