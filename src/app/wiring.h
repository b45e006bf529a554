#pragma once
// Puts the subsystems' controllers on the window. The one place that knows them all.

#include "app/app_context.h"
#include "app/session_wiring.h"

namespace vellicor::app {

class WindowView;
class ExchangeWiring;
class LoginController;
class SigninController;

// Adds every controller to the window; call before MainWindow::start(). The login side is
// returned for the accounts a start logs in by itself.
SessionControllers wireControllers(WindowView& window, AppContext& context);

// With a configuration file that names some publisher hosts but not all, logs which [portal]
// keys are left to set; says nothing otherwise.
void sayUnsetPortalKeys(const AppContext& context);

// The group captions read the balances again after a run that spent tickets and after the
// sign-in, which may have earned some.
void refreshBalancesAfterSpending(LoginController& login, SigninController& signin,
                                  ExchangeWiring& exchange);

}  // namespace vellicor::app
