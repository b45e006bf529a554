#pragma once
// Puts the subsystems' controllers on the window. The one place that knows them all.

#include "app/app_context.h"

namespace vellicor::app {

class MainWindow;

// Adds every controller to the window; call before MainWindow::start().
void wireControllers(MainWindow& window, AppContext& context);

}  // namespace vellicor::app
