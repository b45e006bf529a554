#include "app/login_controller.h"

#include <QCoreApplication>
#include <QKeySequence>
#include <QLineEdit>
#include <QShortcut>
#include <QThreadPool>
#include <QUrl>
#include <QVBoxLayout>

#include "app/account_sessions.h"
#include "app/window_view.h"
#include "platform/config_resolution.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/html_viewer.h"
#include "web/login_address.h"
#include "web/qt/pane_document.h"
#include "web/qt/session.h"

namespace vellicor::app {

using web::DomReply;
using web::PaneDocument;
using web::PaneElement;

namespace {

constexpr const char* kLoggedIn = "登录成功\r\n";
constexpr const char* kAccountFields =
    "input[type=text],input[type=tel],input[type=email],input:not([type])";

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

}  // namespace

QString unsetHostPage(const std::string& key) {
    const QString page =
        QStringLiteral(
            "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>未设置地址"
            "</title></head><body style=\"font-size:12px\"><p>配置文件没有设置这个页面"
            "的地址。</p><p>请在配置文件的 [portal] 中设置 %1，或不带 --config 启动以"
            "使用内置的模拟门户。</p></body></html>")
            .arg(qs(key));
    return QStringLiteral("data:text/html;charset=utf-8,") +
           QString::fromLatin1(QUrl::toPercentEncoding(page));
}

LoginController::LoginController(WindowView& window, AppContext& context, AccountSessions& sessions)
    : window_(window), context_(context), sessions_(sessions) {
    connect(&sessions_, &AccountSessions::currentChanged, this, [this] { accountShown(); });
    // Enter in either field logs in, as on the login page itself.
    for (ui::EditBox* field : {&window_.accountField(), &window_.passwordField()}) {
        if (auto* line = qobject_cast<QLineEdit*>(field->editor())) {
            connect(line, &QLineEdit::returnPressed, this, [this] {
                if (secondMode_) {
                    loginClicked();
                }
            });
        }
    }
}

web::Session& LoginController::session() {
    return sessions_.current();
}

LoginController::~LoginController() {
    delete usageWindow_.data();
}

void LoginController::started() {
    window_.useProfile(sessions_.currentProfile());
    openLoginPanes();
    showMode();
    if (session().restored()) {
        checkRememberedSession();
    }
    connect(&window_.accountLoginPane(), &Pane::loadFinished, this,
            [this] { accountPaneLoaded(); });
    connect(&window_.quickLoginPane(), &Pane::loadFinished, this, [this] { quickPaneLoaded(); });
}

// A logged-in account's quick pane shows where a login leads, not a login page that says it
// sees no logged-in number. A host the configuration leaves on its placeholder gets a page
// that says which key to set, instead of the browser's own error page.
void LoginController::openLoginPanes() {
    const Config& config = context_.config;
    window_.quickLoginPane().open(isPlaceholderHost(config.quickLogin)
                                      ? unsetHostPage("quick_login")
                                  : loginSeen_ ? qs(web::returnPageAddress(config))
                                               : qs(web::quickLoginAddress(config)));
    window_.accountLoginPane().open(isPlaceholderHost(config.accountLogin)
                                        ? unsetHostPage("account_login")
                                        : qs(web::accountLoginAddress(config)));
}

void LoginController::closing() {
    sessions_.rememberAll();
}

void LoginController::log(const std::string& text) const {
    if (context_.log) {
        context_.log(text);
    }
}

void LoginController::showMode() {
    window_.quickLoginPane().setShown(!secondMode_);
    window_.accountLoginPane().setShown(false);
    for (QWidget* own :
         std::initializer_list<QWidget*>{&window_.accountCaptions(), &window_.accountField(),
                                         &window_.passwordField(), &window_.loginButton()}) {
        own->setVisible(secondMode_);
    }
    window_.loginModeButton().setCaption(secondMode_ ? QStringLiteral("登录方式一")
                                                     : QStringLiteral("登录方式二"));
}

void LoginController::loginModeClicked() {
    secondMode_ = !secondMode_;
    showMode();
}

void LoginController::reloginClicked() {
    ++loginRound_;  // whatever the last login still has under way is of no use now
    loginSeen_ = false;
    awaitingAnswer_ = false;
    sessions_.forgetCurrent();
    secondMode_ = false;
    showMode();
    balances_.erase(sessions_.currentNumber());
    resetCaptions();
    openLoginPanes();
}

void LoginController::loginClicked() {
    const QString account = window_.accountField().content().trimmed();
    const QString password = window_.passwordField().content();
    if (account.isEmpty() || password.isEmpty()) {
        log("请输入QQ帐号和密码\r\n");
        return;
    }
    fillAccountPage(account, password);
}

// The account page may first have to be switched to its account form ("使用其他号码登录"
// on a quick-login page); then both fields are filled and the page's own button pressed.
void LoginController::fillAccountPage(const QString& account, const QString& password) {
    const auto doc = window_.accountLoginPane().document();
    if (!doc) {
        log("登录页面尚未打开,请点击重新登录\r\n");
        return;
    }
    QPointer<LoginController> self(this);
    auto missing = [self](const DomReply& reply, const char* what) {
        if (self.isNull()) {
            return;
        }
        self->log(reply.status == DomReply::Status::Stale
                      ? std::string("登录页面正在加载,请稍后再试\r\n")
                      : std::string("登录页面上找不到") + what + ",请点击重新登录\r\n");
    };
    const PaneElement button = doc->byId(QStringLiteral("login_button"));
    const PaneElement user = button.inForm(QString::fromLatin1(kAccountFields));
    const PaneElement pass = button.inForm(QStringLiteral("input[type=password]"));
    doc->byText(QStringLiteral("a"), QStringLiteral("使用其他号码登录"))
        .click([=](const DomReply&) {
            user.setValue(account, [=](const DomReply& r) {
                if (r.status == DomReply::Status::NoElement && self) {
                    // Not the login page (an answer page the portal left in the pane): the
                    // page comes back for the next press.
                    self->reopenAccountPage();
                    self->log("登录页面已重新打开,请再点击登录\r\n");
                    return;
                }
                if (!r.ok()) {
                    return missing(r, "帐号输入框");
                }
                pass.setValue(password, [=](const DomReply& p) {
                    if (!p.ok()) {
                        return missing(p, "密码输入框");
                    }
                    // Set before the press: the answer page may be in before the reply.
                    if (self) {
                        self->awaitingAnswer_ = true;
                    }
                    button.click([=](const DomReply& c) {
                        if (!c.ok() && self) {
                            self->awaitingAnswer_ = false;
                            missing(c, "登录按钮");
                        }
                    });
                });
            });
        });
}

// The page the account pane shows after 按钮4: the portal's refusal ("很抱歉，您输入的帐号或
// 密码不正确") goes to the log and the login page comes back, ready for another try.
void LoginController::accountPaneLoaded() {
    const auto doc = window_.accountLoginPane().document();
    if (!awaitingAnswer_ || loginSeen_ || !doc ||
        web::isReturnPage(context_.config, doc->address().toStdString())) {
        return;
    }
    readRefusal(*doc, [](LoginController& c, const QString& text) { c.reportRefusal(text); });
}

// The quick-login page's own form answers in its pane: a refusal there is logged as one of
// 按钮4's is, and the pane keeps the answer in view beside the form the user typed into.
void LoginController::quickPaneLoaded() {
    const auto doc = window_.quickLoginPane().document();
    if (loginSeen_ || !doc || web::isReturnPage(context_.config, doc->address().toStdString())) {
        return;
    }
    readRefusal(*doc, [](LoginController& c, const QString& text) {
        const QString said = text.simplified();
        if (!said.isEmpty() && !c.loginSeen_) {
            c.log("登录失败: " + said.toStdString() + "\r\n");
            emit c.loginRefused();
        }
    });
}

// The refusal an answer page of the login service holds, if any; `then` is not called for a
// page without one.
void LoginController::readRefusal(const PaneDocument& page, RefusalThen then) {
    QPointer<LoginController> self(this);
    page.bySelector(QStringLiteral(".login_tips p"))
        .text([self, page, then](const DomReply& inner) {
            if (self.isNull()) {
                return;
            }
            if (inner.ok() && !inner.value.toString().trimmed().isEmpty()) {
                return then(*self, inner.value.toString());
            }
            page.bySelector(QStringLiteral(".login_tips"))
                .text([self, then](const DomReply& outer) {
                    if (self && outer.ok() && !outer.value.toString().trimmed().isEmpty()) {
                        then(*self, outer.value.toString());
                    }
                });
        });
}

void LoginController::reportRefusal(const QString& text) {
    const QString said = text.simplified();
    if (said.isEmpty() || loginSeen_) {
        return;
    }
    awaitingAnswer_ = false;
    log("登录失败: " + said.toStdString() + "\r\n");
    // A password left in its field after a login would sit there, readable to whoever
    // comes by, until the window closes.
    window_.passwordField().setContent(QString());
    reopenAccountPage();
    emit loginRefused();
}

void LoginController::reopenAccountPage() {
    window_.accountLoginPane().open(qs(web::accountLoginAddress(context_.config)));
}

void LoginController::loginPaneNavigated(Pane& pane, const std::string& address) {
    if (loginSeen_ || !web::isReturnPage(context_.config, address)) {
        return;
    }
    loginSeen_ = true;
    awaitingAnswer_ = false;
    ++loginRound_;  // reads started before this login are of another session
    window_.passwordField().setContent(QString());
    log(kLoggedIn);
    session().setLoggedIn(true);
    emit loginFinished();
    // The account and its balances wait for the return page itself: by then the cookies of
    // the login have reached the profile's store, whatever order the browser reported
    // things in.
    connect(
        &pane, &Pane::loadFinished, this, [this] { accountLoggedIn(); }, Qt::SingleShotConnection);
}

void LoginController::accountLoggedIn() {
    const auto number = sessions_.loggedIn();
    if (!number) {
        log("登录后找不到帐号: " + number.error().message + "\r\n");
        return;
    }
    readBalances(*number);
}

// Another account in view: its captions, and the login panes on its profile.
void LoginController::accountShown() {
    // Reads under way go on: their answers are kept by account, shown when it is in view.
    loginSeen_ = session().loggedIn();
    awaitingAnswer_ = false;
    window_.useProfile(sessions_.currentProfile());
    showCaptions();
    openLoginPanes();
    if (usageWindow_) {
        // Its page leaves the old profile at once: that profile may be deleted next.
        usageWindow_->findChild<ui::HtmlViewer*>()->setProfile(sessions_.currentProfile());
        usageWindow_->close();
    }
    if (!loginSeen_ && session().restored()) {
        checkRememberedSession();
    }
}

void LoginController::refreshBalances() {
    for (const auto& account : sessions_.accounts()) {
        const web::Session* s = sessions_.session(account.number);
        if (s != nullptr && s->loggedIn()) {
            readBalances(account.number);
        }
    }
}

std::vector<std::string> LoginController::balanceTexts() const {
    std::vector<std::string> texts;
    const auto it = balances_.find(sessions_.currentNumber());
    if (it != balances_.end()) {
        for (const auto& b : it->second) {
            texts.push_back(b.text);
        }
    }
    return texts;
}

// The record page off the window's thread; `then` gets its answer on the window's thread,
// unless a login or 重新登录 has come between (the answer is of a session the user left).
void LoginController::readInBackground(const std::string& cookies, BalancesThen then) {
    const Config config = context_.config;
    QPointer<LoginController> self(this);
    QThreadPool::globalInstance()->start([self, config, cookies, round = loginRound_, then] {
        auto result = std::make_shared<BalancesResult>(mall::readBalances(config, cookies));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, result, round, then] {
                if (self && round == self->loginRound_) {
                    then(*self, *result);
                }
            },
            Qt::QueuedConnection);
    });
}

void LoginController::readBalances(const std::string& number) {
    web::Session* s = sessions_.session(number);
    if (s == nullptr) {
        return;
    }
    // Nor are the balances of a read that a newer one has overtaken shown.
    const int read = ++lastRead_[number];
    readInBackground(s->cookies(),
                     [read, number](LoginController& c, const BalancesResult& result) {
                         if (read == c.lastRead_[number]) {
                             c.showBalances(number, result);
                         }
                     });
}

// A session kept from the last start counts as a login once the mall answers for it.
void LoginController::checkRememberedSession() {
    if (loginSeen_ || session().cookies().empty()) {
        emit rememberedSessionChecked(false);
        return;
    }
    readInBackground(session().cookies(), [](LoginController& c, const BalancesResult& result) {
        c.rememberedSessionAnswered(result);
    });
}

void LoginController::rememberedSessionAnswered(const BalancesResult& result) {
    const bool restored = result.ok() && !loginSeen_;
    const bool refused = !result.ok() && result.error().code == ErrorCode::LoggedOut;
    if (refused) {
        // The mall no longer knows the session: it is of no use on the next start either.
        // An unreachable mall says nothing about it, and it is kept.
        sessions_.forgetCurrent();
        log("上次保存的登录已失效,请重新登录\r\n");
    }
    if (restored) {
        loginSeen_ = true;
        ++loginRound_;
        log("已使用上次保存的登录\r\n");
        session().setLoggedIn(true);
        openLoginPanes();
        emit loginFinished();
        showBalances(sessions_.currentNumber(), result);
    }
    emit rememberedSessionChecked(restored);
}

void LoginController::showBalances(const std::string& number, const BalancesResult& result) {
    if (!result) {
        log("读取游票余额失败: " + result.error().message + "\r\n");
        return;
    }
    balances_[number] = *result;
    if (number == sessions_.currentNumber()) {
        showCaptions();
        emit balancesShown();
    }
}

void LoginController::showCaptions() {
    resetCaptions();
    const auto it = balances_.find(sessions_.currentNumber());
    if (it == balances_.end()) {
        return;
    }
    for (const auto& b : it->second) {
        // The balance text itself replaces the caption: it names the game by its tag and
        // fits even the narrowest box, where tag, name and balance together do not.
        if (auto* group = window_.gameGroup(*b.game)) {
            group->setCaption(qs(b.text));
        }
    }
}

void LoginController::resetCaptions() {
    for (const auto& g : mall::games()) {
        if (auto* group = window_.gameGroup(g)) {
            group->setCaption(qs(g.caption));
        }
    }
}

void LoginController::usageRecordClicked() {
    if (!session().loggedIn()) {
        log("请先登录,再查看游票使用记录\r\n");
        return;
    }
    if (usageWindow_.isNull()) {
        // A window of the tool: its pane shares the login panes' profile and so the session,
        // which the user's own browser does not have.
        usageWindow_ = new QWidget(nullptr, Qt::Window);
        usageWindow_->setAttribute(Qt::WA_DeleteOnClose);
        usageWindow_->setWindowTitle(QStringLiteral("游票使用记录"));
        auto* layout = new QVBoxLayout(usageWindow_);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new ui::HtmlViewer(usageWindow_));
        usageWindow_->resize(760, 520);
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), usageWindow_);
        connect(escape, &QShortcut::activated, usageWindow_, &QWidget::close);
        // Over the main window, where the user's eyes are, rather than at the screen's corner.
        if (const auto* main = qobject_cast<QWidget*>(&window_.owner()); main != nullptr) {
            QRect place(QPoint(0, 0), usageWindow_->size());
            place.moveCenter(main->frameGeometry().center());
            usageWindow_->move(place.topLeft());
        }
    }
    auto* viewer = usageWindow_->findChild<ui::HtmlViewer*>();
    viewer->setProfile(sessions_.currentProfile());
    viewer->setAddress(qs(mall::usageRecordAddress(context_.config)));
    usageWindow_->show();
    usageWindow_->raise();
    usageWindow_->activateWindow();
}

}  // namespace vellicor::app
