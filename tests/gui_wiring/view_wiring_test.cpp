// The controllers against a view of plain controls: what each reads from and writes to the
// window, without the form or a browser. The portal simulator in this process answers their
// requests.

#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <chrono>
#include <fstream>
#include <map>

#include "../gui/gui_test_main.h"
#include "app/account_bar.h"
#include "app/account_sessions.h"
#include "app/fit_text.h"
#include "app/login_controller.h"
#include "app/run_wiring.h"
#include "app/session_wiring.h"
#include "app/signin_controller.h"
#include "app/wiring.h"
#include "doubles.h"
#include "fake_view.h"
#include "portal/server.h"
#include "signin/signin.h"
#include "web/accounts.h"
#include "web/login_address.h"
#include "web/qt/session.h"

using namespace vellicor;
using namespace vellicor::app;
using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 30000;

using FakePaneRef = test::FakePane*;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

const mall::Item& item(const char* id) {
    return *mall::findItem(id);
}

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A local time on 1 March 2026 (UTC+8).
Clock::WallTime localAt(int h, int m, int s) {
    const auto utcMidnight = std::chrono::sys_days{std::chrono::year{2026} / 3 / 1};
    return Clock::WallTime(utcMidnight + std::chrono::hours(h - 8) + std::chrono::minutes(m) +
                           std::chrono::seconds(s));
}

// The timer's controller on a view, with a clock that moves only when told, at 11:00.
struct TimerRig {
    explicit TimerRig(const AppContext& base, int countdownMs = 200)
        : clock(localAt(11, 0, 0)),
          context(on(base, clock)),
          exchange(view, context, {}),
          timer(view, context, exchange, options(countdownMs)) {}
    static AppContext on(AppContext context, const Clock& clock) {
        context.clock = &clock;
        return context;
    }
    static RunWiringOptions options(int countdownMs) {
        RunWiringOptions out;
        out.scheduler.spin = 0ns;
        out.countdownPeriodMs = countdownMs;
        return out;
    }
    void type(TimeField field, const char* text) {
        view.timeField(field).setContent(QString::fromUtf8(text));
        timer.timeFieldEdited(field);
    }

    MockClock clock;
    AppContext context;
    test::FakeView view;
    ExchangeWiring exchange;
    TimerWiring timer;
};

// The simulator's demo session as raw cookie lines, as a browser store holds them.
QByteArray keptText(const std::string& cookies, const std::string& host) {
    QByteArray lines;
    std::size_t at = 0;
    while (at < cookies.size()) {
        const std::size_t end = std::min(cookies.find("; ", at), cookies.size());
        lines += QByteArray::fromStdString(cookies.substr(at, end - at) + "; domain=" + host +
                                           "; path=/\n");
        at = end + 2;
    }
    return lines;
}

// The session of the account in view as a login leaves it: the cookies in its store (here
// without a browser, handed over directly) and logged in.
void logIn(AccountSessions& sessions, const std::string& cookies, const std::string& host) {
    sessions.current().restoreLines(keptText(cookies, host));
    sessions.current().setLoggedIn(true);
}

// A new account in view, logged in as `uin` and listed, as a login through a pane leaves it.
bool logInAs(AccountSessions& sessions, const std::string& uin, const std::string& cookies,
             const std::string& host) {
    if (!sessions.show({}).ok()) {
        return false;
    }
    logIn(sessions, cookies, host);
    const auto listed = sessions.loggedIn();
    return listed && *listed == uin;
}

}  // namespace

class ViewWiringTest : public QObject {
    Q_OBJECT

    std::unique_ptr<portal::Server> server_;
    std::unique_ptr<test::LogCapture> logged_;
    std::unique_ptr<test::RecordingBoxes> boxes_;
    AppContext context_;

    const test::LogCapture& log() const { return *logged_; }
    std::vector<test::RecordingBoxes::Shown> shown() const { return boxes_->shown(); }

    std::size_t sent(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& r : server_->log()) {
            n += r.target.starts_with(prefix) ? 1 : 0;
        }
        return n;
    }
    std::string host() const {
        const std::string base = server_->baseUrl();
        return base.substr(7, base.rfind(':') - 7);
    }

  private slots:
    void init() {
        server_ = std::move(portal::Server::start()).value();
        logged_ = std::make_unique<test::LogCapture>();
        boxes_ = std::make_unique<test::RecordingBoxes>();
        context_ = AppContext{};
        context_.config = Config::defaults().withPortal(server_->baseUrl());
        context_.config.timer.useServerClock = false;
        context_.messageBox = boxes_.get();
        context_.log = logged_->sink();
    }
    void cleanup() { server_.reset(); }

    // The run takes the ticked boxes in catalogue order, whatever the order of ticking; an
    // item the view has no box for is never taken.
    void exchangeTakesTheTickedBoxesInCatalogueOrder() {
        test::FakeView view;
        ExchangeWiring exchange(view, context_, {});
        view.itemBox(item("lol-mecha-rumble"))->setChecked(true);
        view.itemBox(item("cf-body-armour"))->setChecked(true);
        view.itemBox(item("cf-rename"))->setChecked(true);
        view.removeItem(item("cf-body-armour"));
        QCOMPARE(exchange.tickedItems(),
                 (std::vector<std::string>{"cf-rename", "lol-mecha-rumble"}));
    }

    void exchangeSendsWhatTheWorkerFieldSays_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("requests");
        QTest::newRow("three") << "3" << 3;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("empty") << "" << 0;
    }
    void exchangeSendsWhatTheWorkerFieldSays() {
        QFETCH(QString, field);
        QFETCH(int, requests);
        const std::string cookies = server_->sessionCookie().value();
        test::FakeView view;
        RunWiringOptions options;
        options.accounts = [cookies] { return web::oneAccount(cookies); };
        ExchangeWiring exchange(view, context_, options);
        view.itemBox(item("cf-rename"))->setChecked(true);
        view.workerField().setContent(field);
        QSignalSpy finished(&exchange, &ExchangeWiring::runFinished);
        view.exchangeButton().click();  // the view's button is not wired: the event is sent
        const bool started = exchange.startRun();
        QCOMPARE(started, requests > 0);
        if (started) {
            QVERIFY(finished.wait(kWaitMs));
        }
        QCOMPARE(sent("/mall/index.php?op=exchangeing"), static_cast<std::size_t>(requests));
        QCOMPARE(occurrences(log().text(), "  :"), requests);
    }

    // "定" arms what the fields hold and shows it; the countdown runs while armed. A second
    // press with the fields unchanged disarms and stops it.
    void timerArmsFromItsFieldsAndDisarmsOnASecondPress() {
        TimerRig rig(context_, 250);
        test::FakeView& view = rig.view;
        TimerWiring& timer = rig.timer;
        rig.type(TimeField::Hour, "12");
        rig.type(TimeField::Minute, "0");
        rig.type(TimeField::Second, "30");

        timer.armTimerClicked();
        QVERIFY(timer.armed());
        QCOMPARE(view.timerState().caption(), q("已定时"));
        QCOMPARE(view.timerState().toolTip(), q("已定时 12:00:30，再按“定”取消"));
        QCOMPARE(view.countdown().period(), 250);
        QCOMPARE(view.timeBar(TimeField::Hour).position(), 1);  // 1 h 0 min 30 s to go

        timer.armTimerClicked();
        QVERIFY(!timer.armed());
        QCOMPARE(view.timerState().caption(), q(schedule::kNotArmedText));
        QVERIFY(view.timerState().toolTip().isEmpty());
        QCOMPARE(view.countdown().period(), 0);
        QCOMPARE(log().count("取消定时 12:00:30，不再执行兑换\r\n"), 1);
    }

    // Typed key by key, a value out of range keeps every key and takes no focus: its range
    // is the field's tooltip, and the box comes with "定", which arms nothing until the field
    // is mended. An empty field is named before arming.
    void timerFieldsAreCheckedOnTheirWay_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("range");
        QTest::newRow("second 61") << int(TimeField::Second) << "61"
                                   << "秒"
                                   << "输入范围 0 - 59,60 即为 0";
        QTest::newRow("minute 75") << int(TimeField::Minute) << "75"
                                   << "分钟"
                                   << "输入范围 0 - 59,60 即为 0";
        QTest::newRow("hour 25") << int(TimeField::Hour) << "25"
                                 << "小时"
                                 << "输入范围 0 - 23,24 即为 0";
        QTest::newRow("hour -1") << int(TimeField::Hour) << "-1"
                                 << "小时"
                                 << "输入范围 0 - 23,24 即为 0";
    }
    void timerFieldsAreCheckedOnTheirWay() {
        QFETCH(int, field);
        QFETCH(QString, keys);
        QFETCH(QString, word);
        QFETCH(QString, range);
        TimerRig rig(context_);
        test::FakeView& view = rig.view;
        TimerWiring& timer = rig.timer;
        const auto which = static_cast<TimeField>(field);
        rig.type(TimeField::Hour, "10");
        rig.type(TimeField::Minute, "30");
        rig.type(TimeField::Second, "30");
        QObject::connect(&view.timeField(which), &ui::EditBox::contentChanged, &timer,
                         [&timer, which] { timer.timeFieldEdited(which); });
        auto* editor = qobject_cast<QLineEdit*>(view.timeField(which).editor());
        QVERIFY(editor != nullptr);
        editor->clear();
        QTest::keyClicks(editor, keys);  // each key an edit of its own, as typed
        QCOMPARE(view.timeField(which).content(), keys);
        QVERIFY(shown().empty());
        QCOMPARE(view.timeField(which).toolTip(), word + "：" + range);

        timer.armTimerClicked();
        QVERIFY(!timer.armed());
        QCOMPARE(shown().size(), std::size_t{1});
        QCOMPARE(q(shown()[0].caption), word);
        QCOMPARE(q(shown()[0].text), range);
        QCOMPARE(view.timeField(which).content(), keys);

        editor->selectAll();
        QTest::keyClicks(editor, QStringLiteral("5"));
        QVERIFY(view.timeField(which).toolTip().isEmpty());
        rig.type(TimeField::Second, "");
        timer.armTimerClicked();
        QVERIFY(!timer.armed());
        QCOMPARE(shown().size(), std::size_t{2});
        QCOMPARE(q(shown()[1].text), QStringLiteral("请填写秒"));
        rig.type(TimeField::Second, "5");
        timer.armTimerClicked();
        QVERIFY(timer.armed());
    }

    // The panes open their login pages at the start; the mode button swaps the quick-login
    // pane for the tool's own account fields and back.
    void loginModeSwapsThePaneForTheFields() {
        AccountSessions sessions(context_.config, {}, false, false);
        test::FakeView view;
        LoginController login(view, context_, sessions);
        login.started();
        QCOMPARE(view.quick.opened,
                 (std::vector<QString>{q(web::quickLoginAddress(context_.config))}));
        QCOMPARE(view.account.opened,
                 (std::vector<QString>{q(web::accountLoginAddress(context_.config))}));
        QVERIFY(view.quick.shown() && !view.account.shown());
        QVERIFY(view.loginButton().isHidden());

        login.loginModeClicked();
        QVERIFY(!view.quick.shown() && !view.account.shown());
        QVERIFY(!view.loginButton().isHidden() && !view.accountField().isHidden());
        QCOMPARE(view.loginModeButton().caption(), QStringLiteral("登录方式一"));

        login.loginModeClicked();
        QVERIFY(view.quick.shown() && view.passwordField().isHidden());
        QCOMPARE(view.loginModeButton().caption(), QStringLiteral("登录方式二"));
    }

    // Hosts a file leaves on their placeholders: the start names the keys to set, and a login
    // pane on one says so in a page of its own instead of the browser's error page.
    void unsetHostsAreNamedAtTheStart_data() {
        QTest::addColumn<QStringList>("unset");
        QTest::addColumn<QString>("line");
        QTest::newRow("every host named") << QStringList{} << "";
        QTest::newRow("quick login and forum")
            << QStringList{"quick_login", "forum"}
            << "配置文件的 [portal] 没有设置 quick_login、forum，这些地址的页面无法打开";
        QTest::newRow("account login")
            << QStringList{"account_login"} << "配置文件的 [portal] 没有设置 account_login，";
    }
    void unsetHostsAreNamedAtTheStart() {
        QFETCH(QStringList, unset);
        QFETCH(QString, line);
        const Config placeholders = Config::defaults();
        if (unset.contains("quick_login")) {
            context_.config.quickLogin = placeholders.quickLogin;
        }
        if (unset.contains("account_login")) {
            context_.config.accountLogin = placeholders.accountLogin;
        }
        if (unset.contains("forum")) {
            context_.config.forum = placeholders.forum;
        }
        sayUnsetPortalKeys(context_);
        QCOMPARE(log().count("[portal]"), line.isEmpty() ? 0 : 1);
        QVERIFY2(q(log().text()).contains(line), log().text().c_str());

        AccountSessions sessions(context_.config, {}, false, false);
        test::FakeView view;
        LoginController login(view, context_, sessions);
        login.started();
        const std::pair<FakePaneRef, const char*> panes[] = {{&view.quick, "quick_login"},
                                                             {&view.account, "account_login"}};
        for (const auto& [pane, key] : panes) {
            QCOMPARE(pane->opened.size(), std::size_t{1});
            const QString opened = pane->opened[0];
            const bool placeholder = unset.contains(QString::fromLatin1(key));
            QCOMPARE(opened.startsWith(QStringLiteral("data:text/html")), placeholder);
            if (placeholder) {
                const QString page = QUrl::fromPercentEncoding(opened.toLatin1());
                QVERIFY2(page.contains(QStringLiteral("请在配置文件的 [portal] 中设置 ") + key),
                         qPrintable(page));
            }
        }
    }

    // A caption too long for its label is set smaller until it fits; one that fits at no
    // size keeps the smallest and its whole text as tooltip; a short one after either gets
    // the label's own font back.
    void captionsShrinkToFitTheirLabel() {
        QWidget root;
        ui::Label label(&root);
        const QFont own = label.font();
        const auto advance = [&label](const QString& text) {
            return QFontMetrics(label.font()).horizontalAdvance(text);
        };
        const QString shortText = QStringLiteral("CF");
        const QString longText = QStringLiteral("Speed  签到成功,连续12天");
        const QString endless = QString(QStringLiteral("签到成功")).repeated(20);
        // Room for the long caption a few pixels of font smaller, whatever the system font.
        label.setGeometry(16, 8, advance(longText) * 85 / 100, 24);
        QVERIFY(QFontInfo(own).pixelSize() >= kSmallestCaptionPixels + 2);
        struct Step {
            QString text;
            bool shrunk;
            bool tooltip;
        };
        const Step steps[] = {{shortText, false, false}, {longText, true, false},
                              {endless, true, true},     {shortText, false, false},
                              {endless, true, true},     {longText, true, false}};
        for (const Step& step : steps) {
            label.setCaption(step.text);
            fitCaption(label);
            QCOMPARE(label.font() != own, step.shrunk);
            QCOMPARE(label.toolTip(), step.tooltip ? step.text : QString());
            if (step.tooltip) {
                QCOMPARE(QFontInfo(label.font()).pixelSize(), kSmallestCaptionPixels);
            } else {
                QVERIFY2(advance(step.text) <= label.contentsRect().width(), qPrintable(step.text));
            }
        }
    }

    void accountLoginNeedsBothFieldsAndAPage_data() {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("line");
        QTest::newRow("no account") << ""
                                    << "secret"
                                    << "请输入QQ帐号和密码\r\n";
        QTest::newRow("blank account") << "  "
                                       << "secret"
                                       << "请输入QQ帐号和密码\r\n";
        QTest::newRow("no password") << "10001"
                                     << ""
                                     << "请输入QQ帐号和密码\r\n";
        QTest::newRow("no page yet") << "10001"
                                     << "secret"
                                     << "登录页面尚未打开,请点击重新登录\r\n";
    }
    void accountLoginNeedsBothFieldsAndAPage() {
        QFETCH(QString, account);
        QFETCH(QString, password);
        QFETCH(QString, line);
        AccountSessions sessions(context_.config, {}, false, false);
        test::FakeView view;
        LoginController login(view, context_, sessions);
        view.accountField().setContent(account);
        view.passwordField().setContent(password);
        login.loginClicked();
        QCOMPARE(q(log().text()), line);
    }

    // A pane that reaches the return page is a login; the balances follow once that page
    // has loaded and become the groups' captions. 重新登录 forgets the session, puts the
    // captions back and opens the login pages again.
    void loginShowsTheBalancesAndReloginPutsTheCaptionsBack() {
        AccountSessions sessions(context_.config, {}, false, false);
        web::Session& session = sessions.current();
        session.restoreLines(keptText(server_->sessionCookie().value(), host()));
        test::FakeView view;
        LoginController login(view, context_, sessions);
        QSignalSpy finished(&login, &LoginController::loginFinished);
        QSignalSpy shown(&login, &LoginController::balancesShown);

        login.loginPaneNavigated(view.quick, web::returnPageAddress(context_.config));
        QCOMPARE(finished.count(), 1);
        QVERIFY(session.loggedIn());
        QCOMPARE(log().count("登录成功"), 1);
        view.quick.finishLoad();
        QVERIFY(shown.wait(kWaitMs));
        const mall::Game& cf = mall::games()[0];
        QCOMPARE(view.gameGroup(cf)->caption(), q(login.balanceTexts()[0]));
        QVERIFY(view.gameGroup(cf)->caption().startsWith(QStringLiteral("CF 游票")));

        view.quick.opened.clear();
        login.reloginClicked();
        QVERIFY(!sessions.current().loggedIn());
        QVERIFY(sessions.current().cookies().empty());
        QCOMPARE(view.gameGroup(cf)->caption(), q(std::string(cf.caption)));
        QCOMPARE(view.quick.opened.size(), std::size_t{1});
    }

    // Both sign-in buttons serve a logged-in session only; 刷 writes each game's label.
    void signInFollowsTheSession() {
        AccountSessions sessions(context_.config, {}, false, false);
        web::Session& session = sessions.current();
        session.restoreLines(keptText(server_->sessionCookie().value(), host()));
        test::FakeView view;
        SigninController signin(view, context_, sessions);
        session.setLoggedIn(true);
        QVERIFY(view.signInButton().isEnabled() && view.signInRefreshButton().isEnabled());

        QSignalSpy refreshed(&signin, &SigninController::refreshFinished);
        signin.signInRefreshClicked();
        QVERIFY(!view.signInRefreshButton().isEnabled());
        QVERIFY(refreshed.wait(kWaitMs));
        QVERIFY(view.signInRefreshButton().isEnabled());
        for (std::size_t game = 0; game < mall::games().size(); ++game) {
            const QString label = view.signInLabel(game)->caption();
            QVERIFY2(label.startsWith(q(std::string(mall::games()[game].tag)) + "  "),
                     qPrintable(label));
        }

        session.setLoggedIn(false);
        QVERIFY(!view.signInButton().isEnabled() && !view.signInRefreshButton().isEnabled());
    }

    // 签 walks the centre pages through the sign-in pane in the portal's order; a page without a
    // document to press in is skipped, and the walk ends with a refresh.
    void signInWalksEveryCentrePage() {
        AccountSessions sessions(context_.config, {}, false, false);
        web::Session& session = sessions.current();
        session.restoreLines(keptText(server_->sessionCookie().value(), host()));
        test::FakeView view;
        SigninController signin(view, context_, sessions);
        signin.setSettleDelay(0);
        session.setLoggedIn(true);
        QSignalSpy finished(&signin, &SigninController::signInFinished);
        QSignalSpy refreshed(&signin, &SigninController::refreshFinished);

        signin.signInClicked();
        for (std::size_t page = 0; finished.isEmpty() && page < 20; ++page) {
            QCOMPARE(view.signInPane_.opened.size(), page + 1);
            signin.signInDocumentReady(view.signInPane_.address().toStdString());
        }
        QCOMPARE(finished.count(), 1);
        std::vector<QString> expected;
        for (const int gid : {1, 2, 10, 17, 26, 40, 61}) {
            expected.push_back(q(signin::centrePageAddress(context_.config.mall, gid)));
        }
        QCOMPARE(view.signInPane_.opened, expected);
        QVERIFY(refreshed.wait(kWaitMs));
    }

    // Logs the demo account in as a login pane does: a new login in view, its cookies in its
    // store, the return page reached and loaded.
    void logInThroughPane(AccountSessions& sessions, test::FakeView& view, LoginController& login,
                          const std::string& uin) {
        QVERIFY(sessions.show({}).ok());
        logIn(sessions, server_->sessionCookie(uin).value(), host());
        QSignalSpy shown(&login, &LoginController::balancesShown);
        login.loginPaneNavigated(view.quick, web::returnPageAddress(context_.config));
        view.quick.finishLoad();
        QVERIFY(shown.wait(kWaitMs));
        QCOMPARE(sessions.currentNumber(), uin);
    }

    // Each login lists its account; the captions are the balances of the account in view,
    // read with that account's own cookies.
    void captionsFollowTheAccountInView() {
        AccountSessions sessions(context_.config, {}, false, false);
        test::FakeView view;
        LoginController login(view, context_, sessions);
        AccountBar bar(view, context_, sessions);
        logInThroughPane(sessions, view, login, "10001");
        logInThroughPane(sessions, view, login, "10002");
        QCOMPARE(sessions.accounts().size(), std::size_t{2});
        QCOMPARE(bar.chooser().count(), 3);  // both, and a new login
        QCOMPARE(bar.listButton().text(), QStringLiteral("帐号(2)"));

        const mall::Game& cf = mall::games()[0];
        for (const std::string uin : {"10001", "10002", "10001"}) {
            const auto own =
                mall::readBalances(context_.config, server_->sessionCookie(uin).value());
            QVERIFY(own.ok());
            bar.chooser().setCurrentIndex(bar.chooser().findData(q(uin)));
            emit bar.chooser().activated(bar.chooser().currentIndex());
            QCOMPARE(sessions.currentNumber(), uin);
            QCOMPARE(view.gameGroup(cf)->caption(), q((*own)[0].text));
            QCOMPARE(login.balanceTexts().front(), (*own)[0].text);
        }
        QVERIFY(q(sessions.session("10001")->cookies()).contains("uin=o10001"));
        QVERIFY(!q(sessions.session("10001")->cookies()).contains("10002"));
        for (const auto& r : server_->log()) {
            if (r.target.starts_with("/mall/record.php")) {
                QCOMPARE(occurrences(r.cookies, "uin="), 1);
            }
        }

        // 重新登录 logs out the account in view only.
        login.reloginClicked();
        QVERIFY(!sessions.session("10001")->loggedIn());
        QVERIFY(sessions.session("10002")->loggedIn());
        QCOMPARE(view.gameGroup(cf)->caption(), q(std::string(cf.caption)));
    }

    // A run takes every ticked account; none ticked is one account without a session, which
    // the run refuses as not logged in.
    void runCookiesFollowTheTicks_data() {
        QTest::addColumn<bool>("first");
        QTest::addColumn<bool>("second");
        QTest::addColumn<QString>("fired");
        QTest::newRow("both ticked") << true << true << "10001,10002";
        QTest::newRow("the one in view unticked") << true << false << "10001";
        QTest::newRow("only the one in view") << false << true << "10002";
        QTest::newRow("none ticked") << false << false << "";
    }
    void runCookiesFollowTheTicks() {
        QFETCH(bool, first);
        QFETCH(bool, second);
        QFETCH(QString, fired);
        AccountSessions sessions(context_.config, {}, false, false);
        for (const std::string uin : {"10001", "10002"}) {
            QVERIFY(logInAs(sessions, uin, server_->sessionCookie(uin).value(), host()));
        }
        sessions.setTicked("10001", first);
        sessions.setTicked("10002", second);
        QStringList numbers;
        for (const web::Account& account : accountsSource(sessions)()) {
            numbers << q(web::accountNumber(account.cookies));
        }
        QCOMPARE(numbers.join(','), fired);
        QCOMPARE(sessions.tickedAccounts().size(), std::size_t(first) + std::size_t(second));
    }

    // An account removed while its requests are out: its workers finish, every line of both
    // accounts comes whole, and the run's summary closes it.
    void removingAnAccountDuringARunLosesNoLine() {
        AccountSessions sessions(context_.config, {}, false, false);
        for (const std::string uin : {"10001", "10002"}) {
            QVERIFY(logInAs(sessions, uin, server_->sessionCookie(uin).value(), host()));
        }
        QCOMPARE(sessions.tickedAccounts().size(), std::size_t{2});
        test::FakeView view;
        RunWiringOptions options;
        options.accounts = accountsSource(sessions);
        ExchangeWiring exchange(view, context_, options);
        view.itemBox(item("cf-rename"))->setChecked(true);
        view.workerField().setContent(QStringLiteral("40"));
        QSignalSpy finished(&exchange, &ExchangeWiring::runFinished);
        QVERIFY2(exchange.startRun(), log().text().c_str());
        QVERIFY(sessions.remove("10002").ok());
        QVERIFY2(finished.wait(kWaitMs), "the run's end");
        QCOMPARE(sent("/mall/index.php?op=exchangeing"), std::size_t{80});
        QCOMPARE(occurrences(log().text(), " 10002 #"), 40);
        QCOMPARE(occurrences(log().text(), " 10001 #"), 40);
        QCOMPARE(occurrences(log().text(), "  :"), 80);
    }

    // Removing an account deletes its remembered file and its profile's folder, and the next
    // account comes into view; an unknown number deletes nothing.
    void removingAnAccountDeletesItsFiles() {
        QTemporaryDir data;
        const std::string folder = data.path().toStdString();
        AccountSessions sessions(context_.config, folder, true, false);
        for (const std::string uin : {"10001", "10002"}) {
            QVERIFY(logInAs(sessions, uin, server_->sessionCookie(uin).value(), host()));
            const QString profile = q(web::profileFolder(folder, uin));
            QVERIFY(QDir().mkpath(profile + "/cache"));
        }
        const auto file = [&](const std::string& uin) {
            return q(web::accountsFolder(folder) + "/" + uin);
        };
        QVERIFY(QFile::exists(file("10001")) && QFile::exists(file("10002")));
        QVERIFY(sessions.show("10001").ok());

        QVERIFY(!sessions.remove("10009").ok());
        QVERIFY(!sessions.remove("").ok());
        QCOMPARE(sessions.accounts().size(), std::size_t{2});

        QSignalSpy shown(&sessions, &AccountSessions::currentChanged);
        QVERIFY(sessions.remove("10001").ok());
        QVERIFY(!QFile::exists(file("10001")));
        QVERIFY(!QDir(q(web::profileFolder(folder, "10001"))).exists());
        QVERIFY(QFile::exists(file("10002")));
        QVERIFY(QDir(q(web::profileFolder(folder, "10002"))).exists());
        QCOMPARE(shown.count(), 1);
        QCOMPARE(sessions.currentNumber(), std::string("10002"));
        QVERIFY(sessions.session("10001") == nullptr);

        // A new start finds just the account that stayed, its session with it.
        AccountSessions again(context_.config, folder, true, false);
        QCOMPARE(again.accounts().size(), std::size_t{1});
        QCOMPARE(again.currentNumber(), std::string("10002"));
        QVERIFY(again.current().restored());
    }

    // Another number logged in in the panes of a remembered account gets a profile folder of
    // its own: removing the first account then deletes nothing the second one stands on.
    void anotherLoginInAnAccountsPanesKeepsItsOwnProfile() {
        QTemporaryDir data;
        const std::string folder = data.path().toStdString();
        {
            AccountSessions first(context_.config, folder, true, false);
            QVERIFY(logInAs(first, "10001", server_->sessionCookie("10001").value(), host()));
        }
        AccountSessions sessions(context_.config, folder, true, false);
        QVERIFY(sessions.show("10001").ok());
        logIn(sessions, server_->sessionCookie("10002").value(), host());
        QCOMPARE(q(sessions.loggedIn().value()), q("10002"));
        QCOMPARE(sessions.currentNumber(), std::string("10002"));
        for (const std::string uin : {"10001", "10002"}) {
            QCOMPARE(q(sessions.profileFolderOf(uin)), q(web::profileFolder(folder, uin)));
            QVERIFY(QDir().mkpath(q(sessions.profileFolderOf(uin))));
        }
        QVERIFY(!sessions.session("10001")->loggedIn());
        QVERIFY(q(sessions.session("10002")->cookies()).contains("uin=o10002"));
        QVERIFY(sessions.remove("10001").ok());
        QVERIFY(QDir(q(web::profileFolder(folder, "10002"))).exists());
    }

    void renameChecksTheName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("taken");
        QTest::newRow("new name") << "小号2" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("the other account's") << "10001" << false;
    }
    void renameChecksTheName() {
        QFETCH(QString, name);
        QFETCH(bool, taken);
        AccountSessions sessions(context_.config, {}, false, false);
        test::FakeView view;
        AccountBar bar(view, context_, sessions);
        for (const std::string uin : {"10001", "10002"}) {
            QVERIFY(logInAs(sessions, uin, server_->sessionCookie(uin).value(), host()));
        }
        QCOMPARE(sessions.rename("10002", name.toStdString()).ok(), taken);
        const QString shown = taken ? name : QStringLiteral("10002");
        QCOMPARE(q(sessions.nameOf("10002")), shown);
        QCOMPARE(bar.chooser().itemText(bar.chooser().findData(QStringLiteral("10002"))), shown);
    }

    // 签 walks the centre pages for every logged-in account, one after the other, and ends
    // with one refresh of every account's states; the labels are the account in view's.
    void signInAndRefreshCoverEveryAccount() {
        AccountSessions sessions(context_.config, {}, false, false);
        std::map<std::string, std::vector<QString>> expected;
        for (const std::string uin : {"10001", "10002"}) {
            QVERIFY(logInAs(sessions, uin, server_->sessionCookie(uin).value(), host()));
            auto& labels = expected[uin];
            labels.resize(mall::games().size());
            signin::refreshStates(
                context_.config, sessions.current().cookies(), [](const std::string&) {},
                [&labels](std::size_t game, const std::string& text) { labels[game] = q(text); });
        }
        QVERIFY(expected["10001"] != expected["10002"]);
        test::FakeView view;
        SigninController signin(view, context_, sessions);
        signin.setSettleDelay(0);
        QVERIFY(sessions.show("10001").ok());
        QSignalSpy finished(&signin, &SigninController::signInFinished);
        QSignalSpy refreshed(&signin, &SigninController::refreshFinished);

        signin.signInClicked();
        for (std::size_t page = 0; finished.isEmpty() && page < 40; ++page) {
            signin.signInDocumentReady(view.signInPane_.address().toStdString());
        }
        QCOMPARE(finished.count(), 1);
        QCOMPARE(view.signInPane_.opened.size(), 2 * mall::games().size());
        QVERIFY(log().text().find("帐号 10001:") < log().text().find("帐号 10002:"));
        QVERIFY(log().text().find("帐号 10002:") != std::string::npos);
        QVERIFY(refreshed.wait(kWaitMs));

        for (const std::string uin : {"10001", "10002", "10001"}) {
            QVERIFY(sessions.show(uin).ok());
            for (std::size_t game = 0; game < mall::games().size(); ++game) {
                QCOMPARE(view.signInLabel(game)->caption(), expected[uin][game]);
            }
        }
    }

    // The list ticks the accounts a run fires for and follows renames.
    void theListTicksAndNames() {
        AccountSessions sessions(context_.config, {}, false, false);
        test::FakeView view;
        AccountBar bar(view, context_, sessions);
        for (const std::string uin : {"10001", "10002"}) {
            QVERIFY(logInAs(sessions, uin, server_->sessionCookie(uin).value(), host()));
        }
        bar.openList();
        auto* list = bar.listDialog()->findChild<QListWidget*>();
        QVERIFY(list != nullptr);
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(1)->checkState(), Qt::Checked);
        list->item(1)->setCheckState(Qt::Unchecked);
        QVERIFY(!sessions.ticked("10002"));
        QCOMPARE(sessions.tickedAccounts().size(), std::size_t{1});

        QVERIFY(sessions.rename("10002", "小号2").ok());
        list = bar.listDialog()->findChild<QListWidget*>();
        QCOMPARE(list->item(1)->text(), QStringLiteral("小号2 (10002)"));
        QCOMPARE(list->item(1)->checkState(), Qt::Unchecked);
        bar.listDialog()->close();
    }

    // An account's proxy is set, shown masked, kept in its remembered file and cleared; one
    // that does not parse changes nothing.
    void theListSetsAProxy_data() {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("shown");
        const QString own = QStringLiteral("tester:proxypass@127.0.0.1:3128");
        QTest::newRow("set") << own << own
                             << QStringLiteral("小号 (10002)  代理 tester:***@127.0.0.1:3128");
        QTest::newRow("socks") << "socks5h://127.0.0.1:1080"
                               << "socks5h://127.0.0.1:1080"
                               << QStringLiteral("小号 (10002)  代理 socks5h://127.0.0.1:1080");
        QTest::newRow("cleared") << ""
                                 << "" << QStringLiteral("小号 (10002)");
        QTest::newRow("refused") << "ftp://127.0.0.1:21" << own
                                 << QStringLiteral("小号 (10002)  代理 tester:***@127.0.0.1:3128");
    }
    void theListSetsAProxy() {
        QFETCH(QString, setting);
        QFETCH(QString, kept);
        QFETCH(QString, shown);
        QTemporaryDir data;
        const std::string folder = data.path().toStdString();
        AccountSessions sessions(context_.config, folder, true, false);
        test::FakeView view;
        AccountBar bar(view, context_, sessions);
        QVERIFY(logInAs(sessions, "10002", server_->sessionCookie("10002").value(), host()));
        QVERIFY(sessions.rename("10002", "小号").ok());
        QVERIFY(sessions.setProxy("10002", "tester:proxypass@127.0.0.1:3128").ok());
        QCOMPARE(sessions.setProxy("10002", setting.toStdString()).ok(), kept == setting);
        bar.openList();
        auto* list = bar.listDialog()->findChild<QListWidget*>();
        QCOMPARE(list->item(0)->text(), shown);
        QVERIFY(bar.listDialog()->findChild<QLabel*>()->text().contains("http.proxy"));
        bar.listDialog()->close();
        AccountSessions again(context_.config, folder, true, false);
        QCOMPARE(q(again.accounts().front().proxy), kept);
    }
};

VELLICOR_GUI_TEST_MAIN(ViewWiringTest)
#include "view_wiring_test.moc"
