#pragma once
// The main window, built from the form table (app/form.h). Controls are found by their form
// names: control<ui::Button>("按钮1"), control<ui::EditBox>("编辑框3") and so on.
//
// Life: create() builds the window and its controls (nullptr when the form cannot be built);
// start() opens the panes' start addresses, runs the created event (title, then every
// controller's started()), and shows the window centred on the screen. Closing is always
// allowed; it runs every controller's closing() once.

#include <QPoint>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "app/form.h"
#include "app/window_handlers.h"

namespace vellicor::ui {
class EditBox;
}

namespace vellicor::app {

class LogFile;
class LogRelay;

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    static std::unique_ptr<MainWindow> create(AppContext& context);
    ~MainWindow() override;

    void addHandlers(std::unique_ptr<WindowHandlers> handlers);
    void start();

    // The control of that form name, or nullptr (also when it is of another kind).
    QObject* object(const std::string& name) const;
    template <typename T>
    T* control(const std::string& name) const {
        return qobject_cast<T*>(object(name));
    }
    std::vector<std::string> controlNames() const;  // in form order

    ui::EditBox* logBox() const;
    AppContext& context() { return context_; }

    // How a drag asks the window system to move the window (true: it does); tests give a
    // stand-in for the window system.
    void setSystemMove(std::function<bool()> start);

    // The size the window has to have with its frame, whatever the window system draws.
    static QSize outerSize();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    explicit MainWindow(AppContext& context);
    bool build();
    QObject* makeControl(const ControlSpec& spec, QWidget* parent);
    void connectEvents();
    void applyOuterSize();
    void centreOnScreen();
    void showClock();
    void shutDown();
    template <typename F>
    void dispatch(F&& call);
    bool dragEvent(QWidget* target, QEvent* event);
    void followPointer(QPoint global);

    AppContext& context_;
    std::map<std::string, QObject*> controls_;
    std::vector<std::string> order_;
    std::shared_ptr<LogFile> logFile_;  // before the handlers: their runs log to the end
    std::vector<std::unique_ptr<WindowHandlers>> handlers_;
    std::shared_ptr<LogRelay> relay_;
    enum class Drag { None, Pressed, Following };
    Drag drag_ = Drag::None;
    QPoint pressedAt_;
    QPoint dragOffset_;
    std::function<bool()> systemMove_;
    bool shutDown_ = false;
};

}  // namespace vellicor::app
