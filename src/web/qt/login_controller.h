#pragma once
// The login area of the window (panes 1 and 2, 按钮2/3/4, the account fields), the finished
// login, the balances it brings and the usage record window.
//
// Login modes: the first shows the quick-login pane; the second shows the tool's own
// account and password fields with 按钮4, which fills them into the account-login page in
// the hidden pane 2 and presses its login button. A login finished in either pane counts.

#include <QObject>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "app/window_handlers.h"
#include "mall/balances.h"
#include "platform/result.h"

namespace vellicor::app {
class MainWindow;
}

namespace vellicor::web {

class Session;

class LoginController final : public QObject, public app::WindowHandlers {
    Q_OBJECT
  public:
    LoginController(app::MainWindow& window, app::AppContext& context, Session& session);
    ~LoginController() override;

    void started() override;
    void reloginClicked() override;
    void loginModeClicked() override;
    void loginClicked() override;
    void usageRecordClicked() override;
    void loginPaneNavigated(const std::string& pane, const std::string& address) override;

    bool secondMode() const { return secondMode_; }
    // The seven balance texts last read, in game-table order ("CF 游票: 35" ...).
    const std::vector<std::string>& balanceTexts() const { return balanceTexts_; }
    QWidget* usageRecordWindow() const { return usageWindow_.data(); }

  signals:
    void loginFinished();
    void balancesShown();
    void balancesFailed();

  private:
    void showMode();
    void fillAccountPage(const QString& account, const QString& password);
    void readBalances();
    void showBalances(const Result<std::vector<mall::Balance>>& result);
    void resetCaptions();
    void log(const std::string& text) const;

    app::MainWindow& window_;
    app::AppContext& context_;
    Session& session_;
    bool secondMode_ = false;
    bool loginSeen_ = false;
    int loginRound_ = 0;  // counts 重新登录, so late answers of an earlier login are dropped
    std::vector<std::string> balanceTexts_;
    QPointer<QWidget> usageWindow_;
};

}  // namespace vellicor::web
