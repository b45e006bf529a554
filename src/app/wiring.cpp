#include "app/wiring.h"

#include <QWidget>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/alert_wiring.h"
#include "app/link_panel.h"
#include "app/login_controller.h"
#include "app/readiness_wiring.h"
#include "app/run_wiring.h"
#include "app/session_wiring.h"
#include "app/signin_controller.h"
#include "app/timeline_view.h"
#include "app/window_view.h"
#include "platform/config_resolution.h"

namespace vellicor::app {

void sayUnsetPortalKeys(const AppContext& context) {
    const std::vector<std::string> unset = unsetPortalKeys(context.config);
    if (unset.empty() || !context.log) {
        return;
    }
    std::string keys;
    for (const std::string& key : unset) {
        keys += (keys.empty() ? "" : "、") + key;
    }
    context.log(
        "配置文件的 [portal] 没有设置 " + keys +
        "，这些地址的页面无法打开：请在配置文件中设置它们（或用 --portal 给出门户地址）\r\n");
}

SessionControllers wireControllers(WindowView& window, AppContext& context) {
    // A file that names some of the hosts but not all: what to set, before any pane fails.
    sayUnsetPortalKeys(context);
    // The link panel: a click opens what the link names.
    window.events().linkClicked.subscribe([&context](const std::string& eventText) {
        if (context.urlOpener != nullptr) {
            handleLinkClick(eventText, context.config, *context.urlOpener);
        }
    });
    // login, balances, usage record, sign-in
    const SessionControllers session = addSessionControllers(window, context);
    // alerts away from the computer: set up before the runs that send them, closed after
    auto alerts = std::make_unique<AlertWiring>(window, context);
    // exchange run, timed redemption, update check, background music
    RunWiringOptions run;
    run.accounts = accountsSource(*session.accounts);
    // The run goes to the engine ahead of the instant, with time to build its requests
    // before the engine opens the connections at instant − preopen lead.
    run.scheduler = run::schedulerOptions(context.config);
    const RunControllers runs = addRunControllers(window, context, run);
    // 检查准备: the run above checked without sending, beside 测试提醒.
    addReadinessButton(window, context, *runs.exchange, run.accounts);
    // 时间线: the last run's picture again, once its window was closed.
    if (auto* main = qobject_cast<QWidget*>(&window.owner())) {
        addTimelineButton(main);
    }
    // Last: its close flushes what the others' closing still sent.
    AlertWiring& alertWiring = window.controllers().add(std::move(alerts));
    window.events().closing.subscribe([&alertWiring] { alertWiring.closing(); });
    refreshBalancesAfterSpending(*session.login, *session.signin, *runs.exchange);
    return session;
}

void refreshBalancesAfterSpending(LoginController& login, SigninController& signin,
                                  ExchangeWiring& exchange) {
    QObject::connect(&exchange, &ExchangeWiring::ticketsMayHaveChanged, &login,
                     [&login] { login.refreshBalances(); });
    QObject::connect(&signin, &SigninController::signInFinished, &login,
                     [&login] { login.refreshBalances(); });
}

}  // namespace vellicor::app
