// The controllers against a view of plain controls: what each reads from and writes to the
// window, without the form or a browser. The portal simulator in this process answers their
// requests.

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <fstream>

#include "../gui/gui_test_main.h"
#include "app/login_controller.h"
#include "app/run_wiring.h"
#include "app/signin_controller.h"
#include "doubles.h"
#include "fake_view.h"
#include "portal/server.h"
#include "signin/signin.h"
#include "web/login_address.h"
#include "web/qt/session.h"

using namespace vellicor;
using namespace vellicor::app;
using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 30000;

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

// The simulator's demo session as a keep file gives it back at a start.
QString keepFileWith(const QTemporaryDir& dir, const std::string& cookies,
                     const std::string& host) {
    const QString path = dir.filePath(QStringLiteral("session"));
    std::ofstream out(path.toStdString());
    std::size_t at = 0;
    while (at < cookies.size()) {
        const std::size_t end = std::min(cookies.find("; ", at), cookies.size());
        out << cookies.substr(at, end - at) << "; domain=" << host << "; path=/\n";
        at = end + 2;
    }
    return path;
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
        ExchangeWiring exchange(view, context_, [cookies] { return cookies; });
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
        QCOMPARE(view.timerState().caption(), q("已定时 12:00:30，再按“定”取消"));
        QCOMPARE(view.countdown().period(), 250);
        QCOMPARE(view.timeBar(TimeField::Hour).position(), 1);  // 1 h 0 min 30 s to go

        timer.armTimerClicked();
        QVERIFY(!timer.armed());
        QCOMPARE(view.timerState().caption(), q(schedule::kNotArmedText));
        QCOMPARE(view.countdown().period(), 0);
    }

    // A field out of range is put back and warned of; an empty one is named before arming.
    void timerFieldsAreCheckedOnTheirWay() {
        TimerRig rig(context_);
        test::FakeView& view = rig.view;
        TimerWiring& timer = rig.timer;
        rig.type(TimeField::Hour, "11");
        rig.type(TimeField::Minute, "30");
        rig.type(TimeField::Hour, "99");
        QCOMPARE(view.timeField(TimeField::Hour).content(), QStringLiteral("11"));
        QCOMPARE(shown().size(), std::size_t{1});
        QCOMPARE(q(shown()[0].caption), QStringLiteral("小时"));

        rig.type(TimeField::Second, "");
        timer.armTimerClicked();
        QVERIFY(!timer.armed());
        QCOMPARE(shown().size(), std::size_t{2});
        QCOMPARE(q(shown()[1].text), QStringLiteral("请填写秒"));
    }

    // The panes open their login pages at the start; the mode button swaps the quick-login
    // pane for the tool's own account fields and back.
    void loginModeSwapsThePaneForTheFields() {
        web::Session session(context_.config, nullptr);
        test::FakeView view;
        LoginController login(view, context_, session);
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
        web::Session session(context_.config, nullptr);
        test::FakeView view;
        LoginController login(view, context_, session);
        view.accountField().setContent(account);
        view.passwordField().setContent(password);
        login.loginClicked();
        QCOMPARE(q(log().text()), line);
    }

    // A pane that reaches the return page is a login; the balances follow once that page
    // has loaded and become the groups' captions. 重新登录 forgets the session, puts the
    // captions back and opens the login pages again.
    void loginShowsTheBalancesAndReloginPutsTheCaptionsBack() {
        QTemporaryDir dir;
        const QString keep = keepFileWith(dir, server_->sessionCookie().value(), host());
        web::Session session(context_.config, nullptr, keep);
        test::FakeView view;
        LoginController login(view, context_, session);
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
        QVERIFY(!session.loggedIn());
        QVERIFY(session.cookies().empty());
        QVERIFY(!QFile::exists(keep));
        QCOMPARE(view.gameGroup(cf)->caption(), q(std::string(cf.caption)));
        QCOMPARE(view.quick.opened.size(), std::size_t{1});
    }

    // Both sign-in buttons serve a logged-in session only; 刷 writes each game's label.
    void signInFollowsTheSession() {
        QTemporaryDir dir;
        const QString keep = keepFileWith(dir, server_->sessionCookie().value(), host());
        web::Session session(context_.config, nullptr, keep);
        test::FakeView view;
        SigninController signin(view, context_, session);
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
        QTemporaryDir dir;
        const QString keep = keepFileWith(dir, server_->sessionCookie().value(), host());
        web::Session session(context_.config, nullptr, keep);
        test::FakeView view;
        SigninController signin(view, context_, session);
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
};

VELLICOR_GUI_TEST_MAIN(ViewWiringTest)
#include "view_wiring_test.moc"
