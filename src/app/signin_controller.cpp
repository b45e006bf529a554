#include "app/signin_controller.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

#include "app/main_window.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/html_viewer.h"
#include "signin/signin.h"
#include "web/qt/pane_document.h"
#include "web/qt/session.h"

namespace vellicor::signin {
namespace {

constexpr int kPageTimeoutMs = 15000;
constexpr int kSettleMs = 1000;
constexpr const char* kPane = "超文本浏览框3";

// 标签3 to 标签9 hold the games in game-table order.
std::string labelName(std::size_t game) {
    return "标签" + std::to_string(game + 3);
}

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

SigninController::SigninController(app::MainWindow& window, app::AppContext& context,
                                   web::Session& session)
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
    window_.control<ui::Button>("按钮7")->setEnabled(on);
    window_.control<ui::Button>("按钮8")->setEnabled(on && !refreshing_);
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
            window_.control<ui::HtmlViewer>(kPane)->setAddress(
                QString::fromStdString(step.address));
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
    const auto doc = web::PaneDocument::of(window_.control<ui::HtmlViewer>(kPane));
    if (!doc) {
        apply(sequence_.clicked(false));
        return;
    }
    QPointer<SigninController> self(this);
    doc->byId(QString::fromLatin1(kSignButton.data(), static_cast<int>(kSignButton.size())))
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
    window_.control<ui::Button>("按钮8")->setEnabled(false);
    const Config config = context_.config;
    const std::string cookies = session_.cookies();
    const LogSink log = context_.log ? context_.log : [](const std::string&) {};
    QPointer<SigninController> self(this);
    QThreadPool::globalInstance()->start([self, config, cookies, log] {
        refreshStates(config, cookies, log, [self](std::size_t game, const std::string& label) {
            postTo(self, [game, label](SigninController& c) { c.setLabel(game, label); });
        });
        postTo(self, [](SigninController& c) { c.refreshDone(); });
    });
}

void SigninController::setLabel(std::size_t game, const std::string& text) {
    window_.control<ui::Label>(labelName(game))->setCaption(QString::fromStdString(text));
}

void SigninController::refreshDone() {
    refreshing_ = false;
    window_.control<ui::Button>("按钮8")->setEnabled(session_.loggedIn());
    emit refreshFinished();
}

}  // namespace vellicor::signin
