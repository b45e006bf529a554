#pragma once
// Alerts away from the computer, in the window: the alerter the [alert] section sets up, the
// alerts of a run (its wins, the first throttling, the end of a timed run), and 测试提醒, a
// small button in the timer group's free corner that sends a test alert through every
// channel and writes each channel's result to the log box.

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <memory>
#include <mutex>

#include "app/app_context.h"
#include "app/window_handlers.h"
#include "mall/exchange_run.h"
#include "mall/run_summary.h"

namespace vellicor::alert {
class RunAlerts;
}

namespace vellicor::app {

class WindowView;

class AlertWiring final : public QObject, public WindowHandlers {
    Q_OBJECT
  public:
    // Sets the context's alerter.
    AlertWiring(WindowView& window, AppContext& context);
    ~AlertWiring() override;

    // Alerts still on their way get a short flush: the window closes within it.
    void closing() override;

    QPushButton& testButton() { return *button_; }
    void sendTest();

  private:
    AppContext& context_;
    QPointer<QPushButton> button_;
};

// The alerts of the window's runs, for the exchange controller: any run's wins and its first
// throttling, and the end of a timed run.
class RunAlertHooks {
  public:
    explicit RunAlertHooks(const AppContext& context) : context_(context) {}

    // The window's thread, before the run is started: its outcomes go to the alerts too.
    void watch(mall::RunOptions& options);
    // The window's thread, with whether the run started.
    void started(bool ok);
    // The engine's thread, once the run has ended.
    void finished(const mall::RunSummary& summary);

  private:
    const AppContext& context_;
    std::mutex mutex_;
    std::shared_ptr<alert::RunAlerts> next_;   // a timed run's, until it has started
    std::shared_ptr<alert::RunAlerts> timed_;  // the timed run under way
};

}  // namespace vellicor::app
