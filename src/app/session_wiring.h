#pragma once
// Puts the login, balance and sign-in controllers on the window. Call before
// MainWindow::start().

#include <functional>
#include <string>

#include "app/app_context.h"

namespace vellicor::web {
class Session;
}

namespace vellicor::app {

class WindowView;
class LoginController;
class SigninController;

struct SessionControllers {
    web::Session* session = nullptr;  // owned by the window
    LoginController* login = nullptr;
    SigninController* signin = nullptr;
};

SessionControllers addSessionControllers(WindowView& window, AppContext& context);

// What an exchange run takes at its start: the session cookie string as it stands then.
std::function<std::string()> cookieSource(const web::Session& session);

}  // namespace vellicor::app
