#pragma once
// Puts the login, balance and sign-in controllers on the window. Call before
// MainWindow::start().

#include <functional>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "mall/run_input.h"

namespace vellicor::app {

class AccountBar;
class AccountSessions;
class WindowView;
class LoginController;
class SigninController;

struct SessionControllers {
    AccountSessions* accounts = nullptr;  // owned by the window
    LoginController* login = nullptr;
    SigninController* signin = nullptr;
    AccountBar* bar = nullptr;
};

// browser: false for views of stand-in panes (no browser profiles).
SessionControllers addSessionControllers(WindowView& window, AppContext& context,
                                         bool browser = true);

// Every ticked, logged-in account for a run, each with its cookie string of the moment; none
// ticked and logged in: one account without a session.
std::function<std::vector<web::Account>()> accountsSource(const AccountSessions& accounts);

}  // namespace vellicor::app
