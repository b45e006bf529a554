#pragma once
// The main window, built from the form table (app/form.h). Its controllers see it through the
// view (app/window_view.h); the lookup by form name, control<ui::Button>("按钮1"), is for the
// view's own accessors and for tests of the form itself.
//
// Life: create() builds the window and its controls (nullptr when the form cannot be built);
// start() runs the created event (title, then the started event) and shows the window centred
// on the screen. Closing is always allowed; it sends the closing event once.

#include <QPoint>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "app/form.h"
#include "app/window_events.h"
#include "app/window_view.h"

namespace vellicor::ui {
class EditBox;
}

namespace vellicor::app {

class LogFile;
class LogRelay;

class MainWindow : public QWidget, public WindowView {
    Q_OBJECT
  public:
    static std::unique_ptr<MainWindow> create(AppContext& context);
    ~MainWindow() override;

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

    ui::Button& exchangeButton() override;
    ui::EditBox& workerField() override;
    ui::CheckBox* itemBox(const mall::Item& item) override;
    ui::GroupBox* gameGroup(const mall::Game& game) override;
    Pane& quickLoginPane() override;
    Pane& accountLoginPane() override;
    ui::Label& accountCaptions() override;
    ui::EditBox& accountField() override;
    ui::EditBox& passwordField() override;
    ui::Button& loginButton() override;
    ui::Button& loginModeButton() override;
    ui::Label* signInLabel(std::size_t game) override;
    ui::Button& signInButton() override;
    ui::Button& signInRefreshButton() override;
    Pane& signInPane() override;
    ui::EditBox& timeField(TimeField field) override;
    ui::ProcessBar& timeBar(TimeField field) override;
    ui::Label& timerState() override;
    ui::Label& timeRemaining() override;
    ui::Timer& countdown() override;
    QObject& owner() override { return *this; }
    WindowEvents& events() override { return events_; }
    Controllers& controllers() override { return controllers_; }
    void useProfile(QWebEngineProfile* profile) override;
    void useSignInProfile(QWebEngineProfile* profile) override;

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
    bool bindView();
    template <typename T>
    T& bound(const char* name) const;
    QObject* makeControl(const ControlSpec& spec, QWidget* parent);
    void connectEvents();
    void applyOuterSize();
    void centreOnScreen();
    void showClock();
    void shutDown();
    bool dragEvent(QWidget* target, QEvent* event);
    void followPointer(QPoint global);

    AppContext& context_;
    std::map<std::string, QObject*> controls_;
    std::vector<std::string> order_;
    std::map<std::string, std::unique_ptr<ViewerPane>> panes_;  // by form name
    std::shared_ptr<LogFile> logFile_;  // before the controllers: their runs log to the end
    WindowEvents events_;               // before the controllers: emptied before they go
    Controllers controllers_;
    std::shared_ptr<LogRelay> relay_;
    enum class Drag { None, Pressed, Following };
    Drag drag_ = Drag::None;
    QPoint pressedAt_;
    QPoint dragOffset_;
    std::function<bool()> systemMove_;
    bool shutDown_ = false;
};

}  // namespace vellicor::app
