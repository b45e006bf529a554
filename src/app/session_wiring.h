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

// What an exchange run takes at its start: the cookie string of the account it fires for, as
// it stands then. Until runs fire for several accounts at once, that is the account in view
// when it is ticked, else the first ticked one; none ticked and logged in: "".
std::function<std::string()> cookieSource(const AccountSessions& accounts);
// Every ticked, logged-in account for a run, each with its cookie string of the moment.
std::function<std::vector<mall::RunAccount>()> accountsSource(const AccountSessions& accounts);

}  // namespace vellicor::app
