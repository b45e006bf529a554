#include "app/signin_controller.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

#include "app/account_sessions.h"
#include "app/fit_text.h"
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

SigninController::SigninController(WindowView& window, AppContext& context,
                                   AccountSessions& sessions)
    : window_(window), context_(context), sessions_(sessions) {
    pageTimer_.setSingleShot(true);
    pageTimer_.setInterval(kPageTimeoutMs);
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleMs);
    connect(&pageTimer_, &QTimer::timeout, this, [this] { apply(active().timedOut()); });
    connect(&settleTimer_, &QTimer::timeout, this, [this] { apply(active().settled()); });
    connect(&sessions_, &AccountSessions::loggedInChanged, this,
            [this](bool on) { loggedInChanged(on); });
    connect(&sessions_, &AccountSessions::currentChanged, this, [this] { accountShown(); });
    connect(&sessions_, &AccountSessions::dropping, this,
            [this](QWebEngineProfile* p) { profileDropping(p); });
    for (std::size_t game = 0; window_.signInLabel(game) != nullptr; ++game) {
        initialLabels_.push_back(window_.signInLabel(game)->caption());
    }
}

SigninController::~SigninController() = default;

void SigninController::started() {
    window_.useSignInProfile(sessions_.currentProfile());
}

bool SigninController::currentLoggedIn() const {
    return sessions_.current().loggedIn();
}

signin::SignSequence& SigninController::sequence(const std::string& number) {
    auto& slot = sequences_[number];
    if (!slot) {
        slot =
            std::make_unique<SignSequence>(context_.config.mall, [this](const std::string& line) {
                if (context_.log) {
                    context_.log(line);
                }
            });
    }
    return *slot;
}

// The sequence events go to: the account 签 is at, else the one in view (then idle).
signin::SignSequence& SigninController::active() {
    return sequence(signing_ ? *signing_ : sessions_.currentNumber());
}

void SigninController::loggedInChanged(bool loggedIn) {
    // A new login (or 重新登录) of the account in view may sign in again; a run at that
    // account stops where it is.
    if (signing_ && *signing_ == sessions_.currentNumber()) {
        stopSigning();
    }
    sequences_.erase(sessions_.currentNumber());
    labels_.erase(sessions_.currentNumber());
    enableButtons(loggedIn);
}

void SigninController::accountShown() {
    if (!signing_) {
        window_.useSignInProfile(sessions_.currentProfile());
    }
    showLabels();
    enableButtons(currentLoggedIn());
}

void SigninController::profileDropping(QWebEngineProfile* profile) {
    if (profile != nullptr && profile == signingProfile_) {
        stopSigning();
    }
}

void SigninController::stopSigning() {
    pageTimer_.stop();
    settleTimer_.stop();
    if (signing_) {
        sequences_.erase(*signing_);
    }
    queue_.clear();
    signing_.reset();
    signingProfile_ = nullptr;
    window_.useSignInProfile(sessions_.currentProfile());
}

void SigninController::enableButtons(bool on) {
    window_.signInButton().setEnabled(on);
    window_.signInRefreshButton().setEnabled(on && !refreshing_);
}

void SigninController::signInClicked() {
    if (!currentLoggedIn() || signing_) {
        return;
    }
    queue_.clear();
    for (const auto& account : sessions_.loggedInAccounts()) {
        queue_.push_back(account.number);
    }
    if (queue_.empty()) {
        queue_.push_back(sessions_.currentNumber());  // a login not listed yet
    }
    anySigned_ = false;
    nextAccount();
}

void SigninController::nextAccount() {
    while (!queue_.empty()) {
        signing_ = queue_.front();
        queue_.erase(queue_.begin());
        signingProfile_ = sessions_.profile(*signing_);
        window_.useSignInProfile(signingProfile_);
        if (sessions_.accounts().size() > 1 && context_.log) {
            context_.log("帐号 " + sessions_.nameOf(*signing_) + ":\r\n");
        }
        const SignSequence::Step step = active().start();
        if (step.kind != SignSequence::Kind::Nothing) {
            anySigned_ = true;
            apply(step);
            return;
        }
    }
    const bool signedAny = anySigned_;
    signing_.reset();
    signingProfile_ = nullptr;
    window_.useSignInProfile(sessions_.currentProfile());
    if (signedAny) {
        emit signInFinished();
        refresh();
    }
}

void SigninController::signInDocumentReady(const std::string& address) {
    if (signing_) {
        apply(active().documentComplete(address));
    }
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
            nextAccount();
            return;
    }
}

void SigninController::clickSignButton() {
    const auto doc = window_.signInPane().document();
    if (!doc) {
        apply(active().clicked(false));
        return;
    }
    QPointer<SigninController> self(this);
    doc->byId(QString::fromLatin1(signin::kSignButton.data(),
                                  static_cast<int>(signin::kSignButton.size())))
        .click([self](const web::DomReply& reply) {
            if (self) {
                self->apply(self->active().clicked(reply.ok()));
            }
        });
}

void SigninController::signInRefreshClicked() {
    if (currentLoggedIn()) {
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
    std::vector<std::pair<std::string, std::string>> accounts;  // number, cookies
    for (const auto& account : sessions_.loggedInAccounts()) {
        accounts.emplace_back(account.number, account.cookies);
    }
    if (accounts.empty()) {
        accounts.emplace_back(sessions_.currentNumber(), sessions_.current().cookies());
    }
    const LogSink log = context_.log ? context_.log : [](const std::string&) {};
    QPointer<SigninController> self(this);
    QThreadPool::globalInstance()->start([self, config, accounts, log] {
        for (const auto& [number, cookies] : accounts) {
            signin::refreshStates(config, cookies, log,
                                  [self, n = number](std::size_t game, const std::string& label) {
                                      postTo(self, [n, game, label](SigninController& c) {
                                          c.setLabel(n, game, label);
                                      });
                                  });
        }
        postTo(self, [](SigninController& c) { c.refreshDone(); });
    });
}

void SigninController::setLabel(const std::string& number, std::size_t game,
                                const std::string& text) {
    Labels& labels = labels_.try_emplace(number, initialLabels_).first->second;
    if (game < labels.size()) {
        labels[game] = QString::fromStdString(text);
    }
    if (number == sessions_.currentNumber()) {
        showLabels();
    }
}

void SigninController::showLabels() {
    const auto it = labels_.find(sessions_.currentNumber());
    const Labels& labels = it != labels_.end() ? it->second : initialLabels_;
    for (std::size_t game = 0; game < labels.size(); ++game) {
        if (auto* label = window_.signInLabel(game)) {
            // "Speed  签到成功,连续12天" and the portal's own highlight outgrow the label.
            label->setCaption(labels[game]);
            fitCaption(*label);
        }
    }
}

void SigninController::refreshDone() {
    refreshing_ = false;
    window_.signInRefreshButton().setEnabled(currentLoggedIn());
    emit refreshFinished();
}

}  // namespace vellicor::app
