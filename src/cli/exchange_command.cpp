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
#include <vector>

#include "alert/alerter.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/portal_session.h"
#include "mall/aim.h"
#include "mall/balances.h"
#include "mall/catalogue.h"
#include "mall/clock_sync.h"
#include "mall/exchange_controller.h"
#include "mall/run_input.h"
#include "mall/run_summary.h"
#include "mall/send_way.h"
#include "mall/timeline.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "portal/embedded.h"
#include "schedule/time_of_day.h"
#include "schedule/timed_redemption.h"
#include "web/page_request.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message, int code = kExitFailed) {
    std::fprintf(stderr, "vellicor-cli exchange: %s\n", message.c_str());
    return code;
}

// A log text as the terminal wants it: without the "\r" of the log box, also between the
// lines of a text of several (the run's summary).
void printLine(const std::string& text) {
    std::string line = text;
    std::erase(line, '\r');
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::vector<std::string> splitNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        std::string name = text.substr(start, comma - start);
        const auto b = name.find_first_not_of(' ');
        const auto e = name.find_last_not_of(' ');
        if (b != std::string::npos) {
            names.push_back(name.substr(b, e - b + 1));
        }
        start = comma + 1;
    }
    return names;
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

// Sleeps until the computer's clock shows `until`.
void sleepUntilWall(const Clock& clock, Clock::WallTime until) {
    const auto left = until - clock.wallNow();
    if (left > Clock::WallTime::duration::zero()) {
        clock.sleepUntil(clock.steadyNow() + left);
    }
}

// A run armed more than a minute ahead reads the mall's clock again shortly before the
// instant and moves the waiting run there; the lines say whether the engine followed.
// False when the set second turned out to have passed (the run is cancelled).
bool aimAgain(const Config& config, const Clock& clock, Clock::WallTime opening,
              const mall::FiringAim& first, mall::ExchangeController& controller) {
    sleepUntilWall(clock, opening - schedule::kAimAgainBefore);
    const mall::FiringAim again = mall::aimAtOpening(config, clock, opening);
    printLine(again.line);
    if (again.passed) {
        controller.cancel();
        return false;
    }
    if (first.onMallClock && !again.onMallClock) {
        printLine(schedule::kAimAgainFailedLine);
        return true;
    }
    printLine(controller.retime(again.fireAt) ? "已按商城时钟调整发送时刻"
                                              : schedule::kAimTooLateLine);
    return true;
}

// The accounts as the run takes them: a proxy of an account's own is the one its
// configuration has beyond the portal's.
std::vector<mall::RunAccount> runAccounts(const PortalSession& session) {
    std::vector<mall::RunAccount> accounts;
    for (const SessionAccount& account : session.accounts) {
        const bool ownProxy = account.config.http.proxy != session.setup.config.http.proxy;
        accounts.push_back(
            {account.name, account.cookies, ownProxy ? account.config.http.proxy : std::string()});
    }
    return accounts;
}

// With several accounts, one whose session the mall says has ended is left out with a
// warning, and the others run. A record page that does not come leaves the account in: the
// mall may be busy, not the session over. False when no account is left. The accounts left
// out get one alert.
bool dropEndedSessions(PortalSession& session, alert::Alerter& alerter) {
    if (session.accounts.size() < 2) {
        return true;
    }
    std::vector<std::string> ended;
    std::erase_if(session.accounts, [&ended](const SessionAccount& account) {
        const auto page = web::fetchPageText(mall::recordPageAddress(account.config),
                                             account.cookies, account.config.http);
        if (!page || !mall::saysNotLoggedIn(page->text)) {
            return false;
        }
        printLine("警告：帐号 " + account.name + " 的会话已失效（商城说未登录），本次不为它兑换");
        ended.push_back(account.name);
        return true;
    });
    if (!ended.empty()) {
        alert::alertSessionsEnded(&alerter, ended);
    }
    return !session.accounts.empty();
}

void demoLine(const PortalSession& session) {
    std::string names;
    for (const SessionAccount& account : session.accounts) {
        if (account.demo) {
            names += (names.empty() ? "" : "、") +
                     (account.name.empty() ? std::string(portal::kDemoAccount) : account.name);
        }
    }
    if (!names.empty()) {
        printLine("演示模式：模拟商城 " + session.setup.server->baseUrl() + "，演示帐号 " + names);
    }
}

// A win and the first throttling of the run go out as alerts while the run goes on.
void watchOutcomes(mall::RunOptions& options, alert::RunAlerts& alerts) {
    options.onOutcome = [&alerts](const mall::Item& item, const mall::Outcome& outcome,
                                  const std::string& account) {
        if (outcome.kind == mall::OutcomeKind::Popup) {
            alerts.won(std::string(item.caption), account, outcome.message);
        }
    };
    options.onThrottled = [&alerts](const mall::Item& item, const mall::Outcome& outcome,
                                    const std::string& account) {
        alerts.throttled(std::string(item.caption), account, outcome.message);
    };
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
    auto opts = Options::parse(
        args, {"items", "threads", "at", "cookie", "accounts", "portal", "config", "timeline"});
    if (!opts) {
        return fail(opts.error().message, kExitUsage);
    }
    if (!opts->positional().empty()) {
        return fail("unexpected argument " + opts->positional().front(), kExitUsage);
    }
    if (!opts->has("items") || !opts->has("threads")) {
        return fail("--items and --threads are required", kExitUsage);
    }
    const std::optional<std::string> timelineFile = opts->value("timeline");
    if (timelineFile && !mall::timelineFormatOf(*timelineFile)) {
        return fail("--timeline 的文件须以 .csv 或 .svg 结尾：" + *timelineFile, kExitUsage);
    }
    if (conflictingSessions(*opts)) {
        return fail("--cookie 与 --accounts 只能给出其一", kExitUsage);
    }
    // Checked before anything is sent, the demo login included.
    const std::vector<std::string> items = splitNames(*opts->value("items"));
    if (auto chosen = mall::selectItems(items); !chosen) {
        return fail(chosen.error().message + "，本次未发送请求");
    }
    const Clock& clock = SystemClock::instance();
    std::optional<int> secondsOfDay;
    if (auto at = opts->value("at")) {
        auto seconds = mall::parseTimeOfDay(*at);
        if (!seconds) {
            return fail(seconds.error().message);
        }
        secondsOfDay = *seconds;
    }
    auto session = resolveSession(opts.value());
    if (!session) {
        return fail(session.error().message);
    }
    demoLine(*session);
    const auto alerter = std::make_shared<alert::Alerter>(session->setup.config, printLine);
    const FlushAlertsAtExit flushAtExit{alerter};
    if (!dropEndedSessions(session.value(), *alerter)) {
        return fail("没有一个帐号的会话有效，本次未发送兑换请求");
    }
    // One account keeps its own configuration (its proxy included); several share the
    // portal's, each with its proxy beside its session.
    const Config& config =
        session->accounts.size() == 1 ? session->accounts.front().config : session->setup.config;
    // The mall's clock is read through the accounts' proxy, as their requests go.
    const Config probing = mall::probeConfig(config, runAccounts(*session));
    mall::RunOptions runOptions;
    alert::RunAlerts runAlerts(alerter);
    watchOutcomes(runOptions, runAlerts);
    std::optional<mall::FiringAim> aim;
    Clock::WallTime opening{};
    if (secondsOfDay) {
        // The set time is Beijing time on the mall's clock, its day fixed now by the window's
        // rule; the estimate takes what time is left, and a set second that has passed by
        // the time it answers is said, not moved to the next day.
        const schedule::TimeOfDay time{*secondsOfDay / 3600, *secondsOfDay / 60 % 60,
                                       *secondsOfDay % 60};
        opening = schedule::nextShowing(time, clock);
        aim = mall::aimAtOpening(probing, clock, opening);
        if (aim->passed) {
            return fail(withoutLineEnd(aim->line));
        }
        printLine(aim->line);
        runOptions.fireAt = aim->fireAt;
        runOptions.timelineFrame = mall::timelineFrame(*aim);
    }
    runOptions.timeline = timelineFile.has_value();
    mall::ExchangeController controller(config, clock, printLine);
    if (aim) {
        const auto beijingDay = [](Clock::WallTime t) {
            return std::chrono::floor<std::chrono::days>(
                t + std::chrono::seconds(schedule::kMallUtcOffsetSeconds));
        };
        const bool tomorrow = beijingDay(opening) > beijingDay(clock.wallNow());
        printLine(std::string("将于 ") + (tomorrow ? "明天 " : "") +
                  schedule::formatTimeOfDay(schedule::beijingTimeOfDay(opening)) +
                  "（北京时间）开始兑换");
    }
    const bool aimsAgain = aim && opening - clock.wallNow() > schedule::kAimAgainIfAhead;
    const bool started =
        session->accounts.size() == 1
            ? controller.start(items, *opts->value("threads"), session->accounts.front().cookies,
                               runOptions)
            : controller.start(items, *opts->value("threads"), runAccounts(*session), runOptions);
    if (!started) {
        return kExitFailed;
    }
    if (aimsAgain && !aimAgain(probing, clock, opening, *aim, controller)) {
        controller.wait();
        return fail("设定的时间已过，未发出请求");
    }
    controller.wait();
    const auto summary = controller.lastSummary();
    if (summary && secondsOfDay) {
        runAlerts.ended(mall::summaryLine(*summary));
    }
    if (timelineFile && summary && summary->timeline) {
        if (auto written = mall::writeTimeline(*summary->timeline, *timelineFile); !written) {
            return fail(written.error().message);
        }
        printLine("时间线已写入 " + *timelineFile);
    }
    if (summary && mall::nothingPastProxy(*summary)) {
        return kExitFailed;
    }
    const bool answered = summary && anyAnswer(*summary);
    return answered ? kExitOk : kExitNoAnswer;
}

}  // namespace vellicor::cli
