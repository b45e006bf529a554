#include "app/session_wiring.h"

#include <memory>

#include "app/account_bar.h"
#include "app/account_sessions.h"
#include "app/login_controller.h"
#include "app/signin_controller.h"
#include "app/window_view.h"

namespace vellicor::app {

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
    auto login = std::make_unique<LoginController>(window, context, *out.accounts);
    auto signin = std::make_unique<SigninController>(window, context, *out.accounts);
    auto bar = std::make_unique<AccountBar>(window, context, *out.accounts);
    out.login = login.get();
    out.signin = signin.get();
    out.bar = bar.get();
    window.addHandlers(std::move(login));
    window.addHandlers(std::move(signin));
    window.addHandlers(std::move(bar));
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
