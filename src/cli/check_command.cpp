// vellicor-cli check: the readiness check of the run `exchange` would make with the same
// command line, without sending any exchange request. A line per point, a summary last; the
// exit status says whether anything failed, for a script (the service) to go on regardless.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <variant>

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
    auto checked = checkedRunOptions(args, RunCommand::Check);
    if (const auto* refused = std::get_if<RunRefusal>(&checked)) {
        return fail(refused->message, refused->exitCode);
    }
    const Options* opts = &std::get<Options>(checked);
    auto request = runRequestOf(*opts);
    if (!request) {
        return fail(request.error().message);
    }
    auto session = resolveSession(*opts);
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
