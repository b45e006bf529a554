#pragma once
// Puts the subsystems' controllers on the window. The one place that knows them all.

#include "app/app_context.h"

namespace vellicor::web {
class LoginController;
}
namespace vellicor::signin {
class SigninController;
}

namespace vellicor::app {

class MainWindow;
class ExchangeWiring;

// Adds every controller to the window; call before MainWindow::start().
void wireControllers(MainWindow& window, AppContext& context);

// The group captions read the balances again after a run that spent tickets and after the
// sign-in, which may have earned some.
void refreshBalancesAfterSpending(web::LoginController& login, signin::SigninController& signin,
                                  ExchangeWiring& exchange);

}  // namespace vellicor::app
