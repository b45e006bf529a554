#include "app/session_wiring.h"

#include <memory>
#include <string>

#include "app/account_bar.h"
#include "app/account_sessions.h"
#include "app/login_controller.h"
#include "app/signin_controller.h"
#include "app/window_view.h"

namespace vellicor::app {
namespace {

void subscribe(WindowEvents& events, LoginController& login, SigninController& signin) {
    events.started.subscribe([&login] { login.started(); });
    events.closing.subscribe([&login] { login.closing(); });
    events.reloginClicked.subscribe([&login] { login.reloginClicked(); });
    events.loginModeClicked.subscribe([&login] { login.loginModeClicked(); });
    events.loginClicked.subscribe([&login] { login.loginClicked(); });
    events.usageRecordClicked.subscribe([&login] { login.usageRecordClicked(); });
    events.loginPaneNavigated.subscribe([&login](Pane& pane, const std::string& address) {
        login.loginPaneNavigated(pane, address);
    });
    events.started.subscribe([&signin] { signin.started(); });
    events.signInClicked.subscribe([&signin] { signin.signInClicked(); });
    events.signInRefreshClicked.subscribe([&signin] { signin.signInRefreshClicked(); });
    events.signInDocumentReady.subscribe(
        [&signin](const std::string& address) { signin.signInDocumentReady(address); });
}

}  // namespace

SessionControllers addSessionControllers(WindowView& window, AppContext& context, bool browser) {
    SessionControllers out;
    // Remembered accounts are kept in the data folder; otherwise nothing of them is on disk,
    // not even what a start with remembering on left there.
    out.accounts =
        new AccountSessions(context.config, context.dataFolder,
                            context.config.window.rememberSession, browser, &window.owner());
    for (const auto& line : out.accounts->skipped()) {
        if (context.log) {
            context.log("无法读取保存的帐号: " + line + "\r\n");
        }
    }
    Controllers& controllers = window.controllers();
    auto& login =
        controllers.add(std::make_unique<LoginController>(window, context, *out.accounts));
    auto& signin =
        controllers.add(std::make_unique<SigninController>(window, context, *out.accounts));
    out.bar = &controllers.add(std::make_unique<AccountBar>(window, context, *out.accounts));
    out.login = &login;
    out.signin = &signin;

    subscribe(window.events(), login, signin);
    return out;
}

std::function<std::vector<web::Account>()> accountsSource(const AccountSessions& accounts) {
    return [&accounts] {
        std::vector<web::Account> out = accounts.tickedAccounts();
        // None ticked or logged in: the run's own refusal says to log in.
        return out.empty() ? web::oneAccount({}) : out;
    };
}

}  // namespace vellicor::app
