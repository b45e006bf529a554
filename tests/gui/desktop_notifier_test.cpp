// Desktop notifications against a notification service of this test's own on a private
// session bus (ctest starts the bus; see CMakeLists.txt), and the window's runs through them.
// Waits are for the service's calls or the log's lines, each bounded.

#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>
#include <QVariantMap>
#include <memory>
#include <set>

#include "app/main_window.h"
#include "app/run_wiring.h"
#include "doubles.h"
#include "gui_test_main.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/desktop_notifier.h"
#include "platform/qt/edit_box.h"
#include "portal/server.h"

using namespace vellicor;

namespace {

constexpr int kWaitMs = 30000;  // a bound for the bus or a run to get somewhere, not a measure
const QString kName = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr const char* kNoWayLine = "没有通知服务";

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

// The notification service, on a bus connection of its own; it records every Notify.
class FakeService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

  public:
    struct Call {
        QString app;
        uint replaces = 0;
        QString summary;
        QString body;
        int timeout = 0;
    };

    FakeService() : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "service")) {
        bus_.registerObject(kPath, this, QDBusConnection::ExportAllSlots);
    }
    ~FakeService() override { bus_.unregisterObject(kPath); }

    bool connected() const { return bus_.isConnected(); }
    bool own() { return bus_.registerService(kName); }
    void leave() { bus_.unregisterService(kName); }

    QStringList capabilities{QStringLiteral("body"), QStringLiteral("body-markup")};
    std::vector<Call> calls;

  public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& app, uint replaces, const QString& /*icon*/, const QString& summary,
                const QString& body, const QStringList& /*actions*/, const QVariantMap& /*hints*/,
                int timeout) {
        calls.push_back({app, replaces, summary, body, timeout});
        return static_cast<uint>(calls.size());
    }
    void CloseNotification(uint /*id*/) {}

  private:
    QDBusConnection bus_;
};

namespace {

// The notification area of a desktop with or without a tray; it records every balloon.
struct BalloonLog {
    bool available = false;
    std::vector<std::pair<QString, QString>> shown;
};

class FakeBalloons final : public ui::Balloons {
  public:
    explicit FakeBalloons(BalloonLog& log) : log_(log) {}
    bool available() const override { return log_.available; }
    void show(const QString& title, const QString& text, int /*shownMs*/) override {
        log_.shown.emplace_back(title, text);
    }

  private:
    BalloonLog& log_;
};

bool waitFor(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, kWaitMs);
}

// Until the notifier has dealt with `count` notifications since the spy was made.
bool handled(QSignalSpy& spy, int count) {
    while (spy.count() < count) {
        if (!spy.wait(kWaitMs)) {
            return false;
        }
    }
    return true;
}

// A window against the simulator with two logged-in accounts, its run controllers told by
// the real notifier.
struct WindowRig {
    std::unique_ptr<portal::Server> server;
    test::RecordingBoxes boxes{AnswerCancel};
    test::RecordingOpener opener;
    BalloonLog balloons;
    app::AppContext context;
    std::unique_ptr<ui::DesktopNotifier> notifier;
    std::unique_ptr<app::MainWindow> window;
    app::RunControllers run;

    bool open() {
        auto started = portal::Server::start("");
        if (!started) {
            return false;
        }
        server = std::move(started).value();
        context.config = Config::defaults().withPortal(server->baseUrl());
        context.messageBox = &boxes;
        context.urlOpener = &opener;
        notifier = std::make_unique<ui::DesktopNotifier>(
            [this](const std::string& line) { context.log(line); },
            std::make_unique<FakeBalloons>(balloons));
        context.notifier = notifier.get();
        window = app::MainWindow::create(context);
        if (!window) {
            return false;
        }
        std::vector<web::Account> accounts;
        for (const auto& [name, uin] : {std::pair{"小号1", "10001"}, std::pair{"小号2", "10002"}}) {
            accounts.push_back(web::makeAccount(name, server->sessionCookie(uin).value()));
        }
        app::RunWiringOptions wiring;
        wiring.accounts = [accounts] { return accounts; };
        wiring.music.openDevice = false;
        wiring.checkForUpdate = false;
        run = app::addRunControllers(*window, context, wiring);
        window->start();
        notifier->start();
        return true;
    }
    ~WindowRig() { window.reset(); }

    // Three items that every account can afford, one request each per account.
    bool runThreeItems() {
        for (const char* box : {"选择框1", "选择框3", "选择框4"}) {
            window->control<ui::CheckBox>(box)->setChecked(true);
        }
        window->control<ui::EditBox>("编辑框4")->setContent(QStringLiteral("1"));
        QSignalSpy finished(run.exchange, &app::ExchangeWiring::runFinished);
        window->control<ui::Button>("按钮1")->click();
        return finished.wait(kWaitMs);
    }
    QString log() const { return window->logBox()->content(); }
};

}  // namespace

class DesktopNotifierTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeService> service_;
    test::LogCapture said_;

    std::unique_ptr<ui::DesktopNotifier> notifier(BalloonLog& balloons) {
        return std::make_unique<ui::DesktopNotifier>(said_.sink(),
                                                     std::make_unique<FakeBalloons>(balloons));
    }
    bool serviceCalled(std::size_t times) {
        return waitFor([&] { return service_->calls.size() >= times; });
    }

  private slots:
    void initTestCase() {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(),
                 "no session bus: run under dbus-run-session, as ctest does");
        service_ = std::make_unique<FakeService>();
        QVERIFY(service_->connected());
    }
    void init() {
        QVERIFY(service_->own());
        service_->calls.clear();
        service_->capabilities = {QStringLiteral("body"), QStringLiteral("body-markup")};
        said_.clear();
    }
    void cleanup() { service_->leave(); }
    void cleanupTestCase() { service_.reset(); }

    // The body is the mall's text as plain text for whatever the service makes of it; the
    // summary is never markup, so it goes as it is, only kept short and on one line.
    void textsArriveAsPlainText_data() {
        QTest::addColumn<bool>("markup");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("body");
        QTest::newRow("markup escaped")
            << true << "改名"
            << R"(<b>恭喜</b> & <a href="x">'领取'</a>)"
            << "改名"
            << "&lt;b&gt;恭喜&lt;/b&gt; &amp; &lt;a href=&quot;x&quot;&gt;&#39;领取&#39;&lt;/a&gt;";
        QTest::newRow("entity stays visible") << true << "改名"
                                              << "&lt;奖品&gt;"
                                              << "改名"
                                              << "&amp;lt;奖品&amp;gt;";
        QTest::newRow("service without markup") << false << "改名"
                                                << "<b>恭喜</b> & 谢谢"
                                                << "改名"
                                                << "<b>恭喜</b> & 谢谢";
        QTest::newRow("noncharacters") << true << QString::fromUtf16(u"小号\uFFFE1")
                                       << QString::fromUtf16(u"中\uFFFF奖\uFDD0") << "小号1"
                                       << "中奖";
        QTest::newRow("control characters") << true << "改\n名"
                                            << "第一行\r\n第二行\t完\x01\x1b[31m"
                                            << "改 名"
                                            << "第一行 第二行 完[31m";
        QTest::newRow("long title") << true << QString(60, QChar(u'长')) << "x"
                                    << QString(39, QChar(u'长')) + QChar(0x2026) << "x";
        QTest::newRow("title is not markup") << true << "<i>改名</i>"
                                             << "x"
                                             << "<i>改名</i>"
                                             << "x";
    }
    void textsArriveAsPlainText() {
        QFETCH(bool, markup);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, summary);
        QFETCH(QString, body);
        if (!markup) {
            service_->capabilities = {QStringLiteral("body")};
        }
        BalloonLog balloons;
        auto n = notifier(balloons);
        n->notify(title.toStdString(), text.toStdString());
        QVERIFY2(serviceCalled(1), "the service never got the notification");
        const FakeService::Call& call = service_->calls.front();
        QCOMPARE(call.summary, summary);
        QCOMPARE(call.body, body);
        QCOMPARE(call.app, QStringLiteral("Vellicor"));
        QVERIFY(balloons.shown.empty());
    }

    // Without the service the tray shows one balloon at a time: those that come while one is
    // up are listed together in the next, the newest last, the oldest past eight counted.
    void balloonsListTheWinsThatCameTogether_data() {
        QTest::addColumn<int>("wins");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("first");
        QTest::newRow("one") << 1 << "物品1" << 1 << "小号：第1次";
        QTest::newRow("three") << 3 << "Vellicor：3 条兑换结果" << 3 << "物品1 — 小号：第1次";
        QTest::newRow("ten") << 10 << "Vellicor：10 条兑换结果" << 9 << "……另有 2 条在前";
    }
    void balloonsListTheWinsThatCameTogether() {
        QFETCH(int, wins);
        QFETCH(QString, title);
        QFETCH(int, lines);
        QFETCH(QString, first);
        service_->leave();
        BalloonLog balloons;
        balloons.available = true;
        auto n = notifier(balloons);
        for (int i = 1; i <= wins; ++i) {
            n->notify("物品" + std::to_string(i), "小号：第" + std::to_string(i) + "次");
        }
        QVERIFY2(waitFor([&] { return balloons.shown.size() == static_cast<std::size_t>(wins); }),
                 "a win never reached the tray");
        const auto& [shownTitle, shownText] = balloons.shown.back();
        QCOMPARE(shownTitle, title);
        const QStringList shownLines = shownText.split(QLatin1Char('\n'));
        QCOMPARE(shownLines.size(), lines);
        QCOMPARE(shownLines.front(), first);
        QVERIFY(shownLines.back().endsWith(q("第" + std::to_string(wins) + "次")));
        QVERIFY(said_.lines().empty());
    }

    // No service and no tray: said once, at the start, however many wins follow.
    void noWayToNotifyIsSaidOnce() {
        service_->leave();
        BalloonLog balloons;
        auto n = notifier(balloons);
        n->start();
        QVERIFY2(waitFor([&] { return said_.count(kNoWayLine) > 0; }), "nothing was said");
        QSignalSpy done(n.get(), &ui::DesktopNotifier::handled);
        for (int i = 1; i <= 3; ++i) {
            n->notify("改名", "成功兑换");
        }
        QVERIFY2(handled(done, 3), "a win was never dealt with");
        QCOMPARE(said_.count(kNoWayLine), 1);
        QCOMPARE(said_.lines().size(), std::size_t{1});
        QVERIFY(service_->calls.empty());
    }

    // A service that comes after a miss is used for the next win, and one that goes away
    // hands its wins to the tray.
    void theServiceIsAskedForAgain() {
        service_->leave();
        BalloonLog balloons;
        balloons.available = true;
        auto n = notifier(balloons);
        n->notify("改名", "第一次");
        QVERIFY(waitFor([&] { return balloons.shown.size() == 1; }));
        QVERIFY(service_->own());
        n->notify("改名", "第二次");
        QVERIFY2(serviceCalled(1), "the new service was not used");
        QCOMPARE(service_->calls.front().body, QStringLiteral("第二次"));
        service_->leave();
        n->notify("改名", "第三次");
        QVERIFY2(waitFor([&] { return balloons.shown.size() == 2; }), "the win was lost");
        QVERIFY(balloons.shown.back().second.endsWith(QStringLiteral("第三次")));
    }

    // The window: three items won by two accounts make six notifications, each naming its
    // account, although every account's run won each item.
    void theWindowShowsEachWinOfEachAccount() {
        WindowRig rig;
        QVERIFY(rig.open());
        rig.window->showMinimized();
        QSignalSpy done(rig.notifier.get(), &ui::DesktopNotifier::handled);
        QVERIFY(rig.runThreeItems());
        QVERIFY2(handled(done, 6), qPrintable(QString::number(service_->calls.size())));
        QCOMPARE(service_->calls.size(), std::size_t{6});
        std::set<std::pair<QString, QString>> wins;
        for (const auto& call : service_->calls) {
            QCOMPARE(call.replaces, 0U);
            QVERIFY2(call.body.contains(QStringLiteral("成功兑换")), qPrintable(call.body));
            wins.insert({call.summary, call.body.section(QStringLiteral("："), 0, 0)});
        }
        const std::set<std::pair<QString, QString>> expected{
            {"改名", "小号1"},   {"改名", "小号2"},       {"防弹衣", "小号1"},
            {"防弹衣", "小号2"}, {"点卷 100点", "小号1"}, {"点卷 100点", "小号2"}};
        QCOMPARE(wins, expected);
        QVERIFY(!rig.log().contains(q(kNoWayLine)));
    }

    void theWindowSaysOnceWhenNothingCanNotify() {
        service_->leave();
        WindowRig rig;
        QVERIFY(rig.open());
        QSignalSpy done(rig.notifier.get(), &ui::DesktopNotifier::handled);
        QVERIFY2(waitFor([&] { return rig.log().contains(q(kNoWayLine)); }),
                 "nothing was said before the run");
        QVERIFY(rig.runThreeItems());
        QVERIFY2(handled(done, 6), "a win was never dealt with");
        QCOMPARE(rig.log().count(q(kNoWayLine)), 1);
        QVERIFY(service_->calls.empty());
    }
};

VELLICOR_GUI_TEST_MAIN(DesktopNotifierTest)

#include "desktop_notifier_test.moc"
