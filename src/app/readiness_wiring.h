#pragma once
// 检查准备: the readiness check of the run the window would make now (the ticked items and
// accounts, the worker field, the timer's set time), on a thread of its own; its lines go to
// the log box as they come. A small button beside 测试提醒.

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <functional>
#include <thread>

#include "app/app_context.h"
#include "run/readiness.h"

namespace vellicor::app {

class WindowView;
class ExchangeWiring;

class ReadinessWiring final : public QObject {
    Q_OBJECT
  public:
    // What to check, read on the window's thread at the click.
    using InputSource = std::function<run::ReadinessInput()>;

    // Owned by the window's object.
    ReadinessWiring(WindowView& window, AppContext& context, InputSource input);
    // Waits for a check under way: each of its points has its own time-out.
    ~ReadinessWiring() override;

    QPushButton& button() { return *button_; }
    // Window's thread; a click while a check is under way does nothing (the button is off).
    void startCheck();

  private:
    void done();

    AppContext& context_;
    InputSource input_;
    QPointer<QPushButton> button_;
    std::thread thread_;
};

// The window's run input of the moment for the check, and the button on the window.
ReadinessWiring* addReadinessButton(WindowView& window, AppContext& context,
                                    ExchangeWiring& exchange,
                                    std::function<std::vector<web::Account>()> accounts);

}  // namespace vellicor::app
