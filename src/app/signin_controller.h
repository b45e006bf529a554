#pragma once
// The sign-in group of the window: "刷" refreshes the seven state labels from the portal's
// sign-in query off the window's thread; "签" walks the centre pages through the hidden pane
// 超文本浏览框3 and presses each page's sign-in button, then refreshes by itself. Both
// buttons serve a logged-in session only.

#include <QObject>
#include <QTimer>
#include <cstddef>
#include <string>

#include "app/app_context.h"
#include "app/window_handlers.h"
#include "signin/sign_sequence.h"

namespace vellicor::web {
class Session;
}

namespace vellicor::app {

class WindowView;

class SigninController final : public QObject, public WindowHandlers {
    Q_OBJECT
  public:
    SigninController(WindowView& window, AppContext& context, web::Session& session);

    void signInClicked() override;
    void signInRefreshClicked() override;
    void signInDocumentReady(const std::string& address) override;

    // The pause after pressing a page's button, so that the request it starts goes out
    // before the pane leaves the page.
    void setSettleDelay(int ms) { settleTimer_.setInterval(ms); }

  signals:
    void refreshFinished();
    void signInFinished();

  private:
    void loggedInChanged(bool loggedIn);
    void apply(const signin::SignSequence::Step& step);
    void clickSignButton();
    void refresh();
    void setLabel(std::size_t game, const std::string& text);
    void refreshDone();
    void enableButtons(bool on);

    WindowView& window_;
    AppContext& context_;
    web::Session& session_;
    signin::SignSequence sequence_;
    QTimer pageTimer_;
    QTimer settleTimer_;
    bool refreshing_ = false;
};

}  // namespace vellicor::app
