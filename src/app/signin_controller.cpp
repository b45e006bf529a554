#include "app/signin_controller.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

#include "app/window_view.h"
#include "platform/qt/basic_controls.h"
#include "signin/signin.h"
#include "web/qt/pane_document.h"
#include "web/qt/session.h"

namespace vellicor::app {

using signin::SignSequence;

namespace {

// A centre page that has not completed by then is skipped.
constexpr int kPageTimeoutMs = 15000;
constexpr int kSettleMs = 1000;

// Posts a call onto the window's thread; dropped when the controller is gone by then.
template <typename F>
void postTo(QPointer<SigninController> target, F&& call) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [target, call = std::forward<F>(call)] {
            if (target) {
                call(*target);
            }
        },
        Qt::QueuedConnection);
}

}  // namespace

SigninController::SigninController(WindowView& window, AppContext& context, web::Session& session)
    : window_(window),
      context_(context),
      session_(session),
      sequence_(context.config.mall, [&context](const std::string& line) {
          if (context.log) {
              context.log(line);
          }
      }) {
    pageTimer_.setSingleShot(true);
    pageTimer_.setInterval(kPageTimeoutMs);
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleMs);
    connect(&pageTimer_, &QTimer::timeout, this, [this] { apply(sequence_.timedOut()); });
    connect(&settleTimer_, &QTimer::timeout, this, [this] { apply(sequence_.settled()); });
    connect(&session_, &web::Session::loggedInChanged, this,
            [this](bool on) { loggedInChanged(on); });
}

void SigninController::loggedInChanged(bool loggedIn) {
    // A new login may sign in again; a run of the old one stops where it is.
    pageTimer_.stop();
    settleTimer_.stop();
    sequence_.resetSession();
    enableButtons(loggedIn);
}

void SigninController::enableButtons(bool on) {
    window_.signInButton().setEnabled(on);
    window_.signInRefreshButton().setEnabled(on && !refreshing_);
}

void SigninController::signInClicked() {
    if (session_.loggedIn()) {
        apply(sequence_.start());
    }
}

void SigninController::signInDocumentReady(const std::string& address) {
    apply(sequence_.documentComplete(address));
}

void SigninController::apply(const SignSequence::Step& step) {
    switch (step.kind) {
        case SignSequence::Kind::Nothing:
            return;
        case SignSequence::Kind::Load:
            window_.signInPane().open(QString::fromStdString(step.address));
            pageTimer_.start();
            return;
        case SignSequence::Kind::Click:
            pageTimer_.stop();
            clickSignButton();
            return;
        case SignSequence::Kind::Settle:
            settleTimer_.start();
            return;
        case SignSequence::Kind::Finished:
            emit signInFinished();
            refresh();
            return;
    }
}

void SigninController::clickSignButton() {
    const auto doc = window_.signInPane().document();
    if (!doc) {
        apply(sequence_.clicked(false));
        return;
    }
    QPointer<SigninController> self(this);
    doc->byId(QString::fromLatin1(signin::kSignButton.data(),
                                  static_cast<int>(signin::kSignButton.size())))
        .click([self](const web::DomReply& reply) {
            if (self) {
                self->apply(self->sequence_.clicked(reply.ok()));
            }
        });
}

void SigninController::signInRefreshClicked() {
    if (session_.loggedIn()) {
        refresh();
    }
}

void SigninController::refresh() {
    if (refreshing_) {
        return;
    }
    refreshing_ = true;
    window_.signInRefreshButton().setEnabled(false);
    const Config config = context_.config;
    const std::string cookies = session_.cookies();
    const LogSink log = context_.log ? context_.log : [](const std::string&) {};
    QPointer<SigninController> self(this);
    QThreadPool::globalInstance()->start([self, config, cookies, log] {
        signin::refreshStates(
            config, cookies, log, [self](std::size_t game, const std::string& label) {
                postTo(self, [game, label](SigninController& c) { c.setLabel(game, label); });
            });
        postTo(self, [](SigninController& c) { c.refreshDone(); });
    });
}

void SigninController::setLabel(std::size_t game, const std::string& text) {
    if (auto* label = window_.signInLabel(game)) {
        label->setCaption(QString::fromStdString(text));
    }
}

void SigninController::refreshDone() {
    refreshing_ = false;
    window_.signInRefreshButton().setEnabled(session_.loggedIn());
    emit refreshFinished();
}

}  // namespace vellicor::app
