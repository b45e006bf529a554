// vellicor-cli exchange: the exchange run without a window, on the same engine and with the
// same checks as the "兑换" button. Without a portal or configuration it runs against the
// embedded simulator, logged in with its demo account unless --cookie or --accounts is given.
// With an accounts file one run sends for every account, each request with its account's
// session (and through its proxy, if it has one), all at the one instant.

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "alert/alerter.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/portal_session.h"
#include "cli/run_options.h"
#include "cli/unattended.h"
#include "mall/catalogue.h"
#include "mall/run_summary.h"
#include "mall/timeline.h"
#include "portal/embedded.h"
#include "run/timed_run.h"
#include "schedule/time_of_day.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message, int code = kExitFailed) {
    std::fprintf(stderr, "vellicor-cli exchange: %s\n", message.c_str());
    return code;
}

// Whether the mall answered any request: anything but a request that got no reply (lost
// before or after it left) or was stopped before its end.
bool anyAnswer(const mall::RunSummary& summary) {
    for (const auto& tally : summary.items) {
        for (int k = 0; k < mall::kOutcomeKinds; ++k) {
            const auto kind = static_cast<mall::OutcomeKind>(k);
            if (kind != mall::OutcomeKind::Failed && kind != mall::OutcomeKind::Cancelled &&
                kind != mall::OutcomeKind::Unknown && tally.count(kind) > 0) {
                return true;
            }
        }
    }
    return false;
}

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

void demoLine(const PortalSession& session) {
    std::string names;
    for (const std::string& name : session.demo) {
        names +=
            (names.empty() ? "" : "、") + (name.empty() ? std::string(portal::kDemoAccount) : name);
    }
    if (!names.empty()) {
        printLine("演示模式：模拟商城 " + session.setup.server->baseUrl() + "，演示帐号 " + names);
    }
}

// Alerts still on their way when the command is done get this long before it exits, whichever
// way it ends: the one saying every session has ended matters most.
constexpr std::chrono::seconds kAlertFlush{20};

struct FlushAlertsAtExit {
    std::shared_ptr<alert::Alerter> alerter;
    ~FlushAlertsAtExit() { alerter->close(kAlertFlush); }
};

}  // namespace

int runItems(const Args& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "vellicor-cli items: takes no arguments\n");
        return kExitUsage;
    }
    for (const mall::Item& item : mall::items()) {
        std::printf("%-24s %s  %s%s\n", std::string(item.id).c_str(),
                    std::string(mall::gameOf(item).tag).c_str(), std::string(item.caption).c_str(),
                    item.enabled ? "" : "（暂不可兑换）");
    }
    return kExitOk;
}

int runExchange(const Args& args) {
    auto checked = checkedRunOptions(args, RunCommand::Exchange);
    if (const auto* refused = std::get_if<RunRefusal>(&checked)) {
        return fail(refused->message, refused->exitCode);
    }
    const Options* opts = &std::get<Options>(checked);
    const std::optional<std::string> timelineFile = opts->value("timeline");
    if (timelineFile && !mall::timelineFormatOf(*timelineFile)) {
        return fail("--timeline 的文件须以 .csv 或 .svg 结尾：" + *timelineFile, kExitUsage);
    }
    auto request = runRequestOf(*opts);
    if (!request) {
        return fail(request.error().message);
    }
    auto session = resolveSession(*opts);
    if (!session) {
        return fail(session.error().message);
    }
    if (auto st = run::checkBeforeSending(session->setup.config, session->accounts); !st) {
        return fail(st.error().message);
    }
    demoLine(*session);
    const auto alerter = std::make_shared<alert::Alerter>(session->setup.config, printLine);
    const FlushAlertsAtExit flushAtExit{alerter};

    run::TimedRunSetup setup;
    setup.config = session->setup.config;
    setup.log = printLine;
    setup.alerter = alerter;
    setup.scheduler = run::schedulerOptions(setup.config);
    setup.timeline = request->timeline.has_value();
    setup.refuseWithoutSession = true;
    run::TimedRunHooks hooks;
    hooks.input = [&] {
        return run::RunInput{request->items, request->threads, session->accounts};
    };
    run::TimedRun exchange(std::move(setup), std::move(hooks));
    if (request->at) {
        exchange.arm(*request->at);
    } else {
        exchange.runNow(true);
    }
    const run::RunEnd end = exchange.waitForEnd();
    if (end.kind == run::RunEnd::Kind::Refused) {
        return fail(withoutLineEnd(end.line));
    }
    if (end.kind != run::RunEnd::Kind::Finished || !end.summary) {
        return kExitFailed;
    }
    const mall::RunSummary& summary = *end.summary;
    // The requests are out: a picture that cannot be written is said with a status of its own,
    // so that nobody takes "nothing was sent" and runs the exchange again.
    if (request->timeline && summary.timeline) {
        mall::Timeline picture = *summary.timeline;
        picture.machine = opts->value("name").value_or(picture.machine);
        if (auto written = mall::writeTimeline(picture, *request->timeline); !written) {
            return fail(written.error().message, kExitSentButFailed);
        }
        printLine("时间线已写入 " + *request->timeline);
    }
    if (mall::nothingPastProxy(summary)) {
        return kExitFailed;  // no request got past the proxy: nothing was sent
    }
    return anyAnswer(summary) ? kExitOk : kExitNoAnswer;
}

}  // namespace vellicor::cli
