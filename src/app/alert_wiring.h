#pragma once
// Alerts away from the computer, in the window: the alerter the [alert] section sets up (the
// run sends its alerts through it), and 测试提醒, a
// small button in the timer group's free corner that sends a test alert through every
// channel and writes each channel's result to the log box.

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <memory>
#include <mutex>

#include "app/app_context.h"

namespace vellicor::app {

class WindowView;

class AlertWiring final : public QObject {
    Q_OBJECT
  public:
    // Sets the context's alerter.
    AlertWiring(WindowView& window, AppContext& context);
    ~AlertWiring() override;

    // Alerts still on their way get a short flush: the window closes within it.
    void closing();

    QPushButton& testButton() { return *button_; }
    void sendTest();

  private:
    AppContext& context_;
    QPointer<QPushButton> button_;
};

}  // namespace vellicor::app
