#pragma once
// Puts the login, balance and sign-in controllers on the window and gives the login panes
// their start addresses. Call before MainWindow::start().

#include <functional>
#include <string>

#include "app/app_context.h"

namespace vellicor::app {
class MainWindow;
}
namespace vellicor::signin {
class SigninController;
}

namespace vellicor::web {

class Session;
class LoginController;

struct SessionControllers {
    Session* session = nullptr;  // owned by the window
    LoginController* login = nullptr;
    signin::SigninController* signin = nullptr;
};

SessionControllers addSessionControllers(app::MainWindow& window, app::AppContext& context);

// What an exchange run takes at its start: the session cookie string as it stands then.
std::function<std::string()> cookieSource(const Session& session);

}  // namespace vellicor::web
