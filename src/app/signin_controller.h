#pragma once
// The sign-in group of the window: "刷" refreshes every logged-in account's seven states from
// the portal's sign-in query off the window's thread, and the labels show the account in
// view; "签" walks the centre pages through the hidden pane 超文本浏览框3 and presses each
// page's sign-in button, one account after the other (the pane on each account's profile),
// then refreshes by itself. Both buttons serve a logged-in session only.

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "signin/sign_sequence.h"

namespace vellicor::web {
class Session;
}

class QWebEngineProfile;

namespace vellicor::app {

class AccountSessions;
class WindowView;

class SigninController final : public QObject {
    Q_OBJECT
  public:
    SigninController(WindowView& window, AppContext& context, AccountSessions& sessions);
    ~SigninController() override;

    void started();

    void signInClicked();
    void signInRefreshClicked();
    void signInDocumentReady(const std::string& address);

    // The pause after pressing a page's button, so that the request it starts goes out
    // before the pane leaves the page.
    void setSettleDelay(int ms) { settleTimer_.setInterval(ms); }

  signals:
    void refreshFinished();
    void signInFinished();

  private:
    using Labels = std::vector<QString>;
    void loggedInChanged(bool loggedIn);
    void accountShown();
    void nextAccount();
    void stopSigning();
    void profileDropping(QWebEngineProfile* profile);
    signin::SignSequence& sequence(const std::string& number);
    signin::SignSequence& active();
    bool currentLoggedIn() const;
    void apply(const signin::SignSequence::Step& step);
    void clickSignButton();
    void refresh();
    void setLabel(const std::string& number, std::size_t game, const std::string& text);
    void showLabels();
    void refreshDone();
    void enableButtons(bool on);

    WindowView& window_;
    AppContext& context_;
    AccountSessions& sessions_;
    std::map<std::string, std::unique_ptr<signin::SignSequence>> sequences_;  // by number
    std::vector<std::string> queue_;      // the accounts 签 has still to sign in
    std::optional<std::string> signing_;  // the account 签 is at
    QWebEngineProfile* signingProfile_ = nullptr;
    bool anySigned_ = false;
    Labels initialLabels_;
    std::map<std::string, Labels> labels_;  // by number
    QTimer pageTimer_;
    QTimer settleTimer_;
    bool refreshing_ = false;
};

}  // namespace vellicor::app
