#pragma once
// The login area of the window (panes 1 and 2, 按钮2/3/4, the account fields), the finished
// login, the balances it brings and the usage record window.
//
// Login modes: the first shows the quick-login pane; the second shows the tool's own
// account and password fields with 按钮4, which fills them into the account-login page in
// the hidden pane 2 and presses its login button. A login finished in either pane counts.

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "app/window_handlers.h"
#include "mall/balances.h"
#include "platform/result.h"

namespace vellicor::web {
class Session;
}

namespace vellicor::app {

class WindowView;

class LoginController final : public QObject, public WindowHandlers {
    Q_OBJECT
  public:
    LoginController(WindowView& window, AppContext& context, web::Session& session);
    ~LoginController() override;

    void started() override;
    void reloginClicked() override;
    void loginModeClicked() override;
    void loginClicked() override;
    void usageRecordClicked() override;
    void loginPaneNavigated(Pane& pane, const std::string& address) override;

    // Reads the balances again for the session of this moment; nothing when logged out.
    // Answers of an earlier read, or of a session the user has left since, are not shown.
    void refreshBalances();

    bool secondMode() const { return secondMode_; }
    // The seven balance texts last read, in game-table order ("CF 游票: 35" ...).
    const std::vector<std::string>& balanceTexts() const { return balanceTexts_; }
    QWidget* usageRecordWindow() const { return usageWindow_.data(); }

  signals:
    void loginFinished();
    void balancesShown();
    // The account page answered 按钮4 with a refusal, now in the log; the page is back.
    void loginRefused();
    // The mall has answered for the session kept from the last start (session.remember).
    void rememberedSessionChecked(bool restored);

  private:
    void showMode();
    void fillAccountPage(const QString& account, const QString& password);
    void accountPaneLoaded();
    void reportRefusal(const QString& text);
    void reopenAccountPage();
    using BalancesResult = Result<std::vector<mall::Balance>>;
    using BalancesThen = std::function<void(LoginController&, const BalancesResult&)>;
    void readInBackground(BalancesThen then);
    void readBalances();
    void checkRememberedSession();
    void rememberedSessionAnswered(const BalancesResult& result);
    void showBalances(const BalancesResult& result);
    void resetCaptions();
    void log(const std::string& text) const;

    WindowView& window_;
    AppContext& context_;
    web::Session& session_;
    bool secondMode_ = false;
    bool loginSeen_ = false;
    // Counts 重新登录 and logins, so late answers of a session the user has left are dropped.
    int loginRound_ = 0;
    int lastRead_ = 0;             // the newest balance read; older answers are not shown
    bool awaitingAnswer_ = false;  // 按钮4 pressed the account page's button
    std::vector<std::string> balanceTexts_;
    QPointer<QWidget> usageWindow_;
};

}  // namespace vellicor::app
