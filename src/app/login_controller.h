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
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "mall/balances.h"
#include "platform/result.h"
#include "web/qt/pane_document.h"

namespace vellicor::web {
class Session;
}

namespace vellicor::app {

class AccountSessions;
class Pane;
class WindowView;

// The page a pane shows in place of a login host the configuration leaves on its
// placeholder: it names the [portal] key to set.
QString unsetHostPage(const std::string& key);

class LoginController final : public QObject {
    Q_OBJECT
  public:
    LoginController(WindowView& window, AppContext& context, AccountSessions& sessions);
    ~LoginController() override;

    void started();
    void closing();
    void reloginClicked();
    void loginModeClicked();
    void loginClicked();
    void usageRecordClicked();
    void loginPaneNavigated(Pane& pane, const std::string& address);

    // Reads the balances again for every logged-in account; the captions show the account in
    // view. Answers of an earlier read, or of a session the user has left since, are not shown.
    void refreshBalances();

    bool secondMode() const { return secondMode_; }
    // The seven balance texts last read for the account in view, in game-table order
    // ("CF 游票: 35" ...).
    std::vector<std::string> balanceTexts() const;
    QWidget* usageRecordWindow() const { return usageWindow_.data(); }

  signals:
    void loginFinished();
    void balancesShown();
    // The account page answered 按钮4 with a refusal, now in the log; the page is back.
    void loginRefused();
    // The mall has answered for the session kept from the last start (session.remember).
    void rememberedSessionChecked(bool restored);

  private:
    using RefusalThen = std::function<void(LoginController&, const QString&)>;
    void showMode();
    void openLoginPanes();
    void quickPaneLoaded();
    void readRefusal(const web::PaneDocument& page, RefusalThen then);
    void fillAccountPage(const QString& account, const QString& password);
    void accountPaneLoaded();
    void reportRefusal(const QString& text);
    void reopenAccountPage();
    using BalancesResult = Result<std::vector<mall::Balance>>;
    using BalancesThen = std::function<void(LoginController&, const BalancesResult&)>;
    void readInBackground(const std::string& cookies, BalancesThen then);
    void readBalances(const std::string& number);
    void accountLoggedIn();
    void accountShown();
    web::Session& session();
    void checkRememberedSession();
    void rememberedSessionAnswered(const BalancesResult& result);
    void showBalances(const std::string& number, const BalancesResult& result);
    void showCaptions();
    void resetCaptions();
    void log(const std::string& text) const;

    WindowView& window_;
    AppContext& context_;
    AccountSessions& sessions_;
    bool secondMode_ = false;
    bool loginSeen_ = false;
    // Counts 重新登录 and logins, so late answers of a session the user has left are dropped.
    int loginRound_ = 0;
    std::map<std::string, int> lastRead_;  // an account's newest read; older answers are dropped
    bool awaitingAnswer_ = false;          // 按钮4 pressed the account page's button
    std::map<std::string, std::vector<mall::Balance>> balances_;  // by account number
    QPointer<QWidget> usageWindow_;
};

}  // namespace vellicor::app
