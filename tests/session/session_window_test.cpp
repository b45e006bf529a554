// The login, balances and sign-in in the real browser engine, against the simulator on
// loopback. Waits are on signals and conditions, never on the clock.

#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <memory>
#include <optional>
#include <string>

#include "app/account_bar.h"
#include "app/account_sessions.h"
#include "app/login_controller.h"
#include "app/main_window.h"
#include "app/run_wiring.h"
#include "app/session_wiring.h"
#include "app/signin_controller.h"
#include "app/wiring.h"
#include "doubles.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/html_viewer.h"
#include "platform/qt/web_profile.h"
#include "portal/server.h"
#include "web/accounts.h"
#include "web/login_address.h"
#include "web/qt/pane_document.h"
#include "web/qt/session.h"

using vellicor::web::DomReply;
using vellicor::web::PaneDocument;

namespace {

constexpr int kWait = 30000;  // an upper bound for the engine to get somewhere, not a measure

const char* kScenario = R"({"accounts":[{"uin":"10001","password":"demo-password",
    "balances":{"CF":35,"LOL":120},"signin":{"CF":{"signed":false,"total":3,"run":1}}},
    {"uin":"10002","password":"demo-password","balances":{"CF":240}}]})";

// The outcome of one asynchronous document call; Stale when it never came back.
DomReply await(const std::function<void(const vellicor::web::DomCallback&)>& op) {
    auto got = std::make_shared<std::optional<DomReply>>();
    op([got](const DomReply& r) { *got = r; });
    static_cast<void>(QTest::qWaitFor([got] { return got->has_value(); }, kWait));
    return got->value_or(DomReply{});
}

// Waits until the pane's page in view holds the element.
bool waitFor(QWebEngineView* pane,
             const std::function<vellicor::web::PaneElement(const PaneDocument&)>& find) {
    auto found = std::make_shared<bool>(false);
    auto pending = std::make_shared<bool>(false);
    return QTest::qWaitFor(
        [=] {
            if (!*pending) {
                if (auto doc = PaneDocument::of(pane)) {
                    *pending = true;
                    find(*doc).exists([=](const DomReply& r) {
                        *found = r.ok();
                        *pending = false;
                    });
                }
            }
            return *found;
        },
        kWait);
}

bool waitForElement(QWebEngineView* pane, const QString& id) {
    return waitFor(pane, [id](const PaneDocument& d) { return d.byId(id); });
}

int count(const QString& text, const QString& part) {
    return text.count(part);
}

struct Extras {
    bool runs = false;   // the exchange run too, its balance refresh wired
    QString dataFolder;  // the data folder, for the log and a remembered session
    bool remember = true;
};

}  // namespace

class SessionWindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<vellicor::portal::Server> server_;
    std::unique_ptr<vellicor::app::AppContext> context_;
    std::unique_ptr<vellicor::app::MainWindow> window_;
    vellicor::app::SessionControllers parts_;
    vellicor::app::RunControllers runs_;
    vellicor::test::RecordingBoxes answers_;
    vellicor::test::RecordingOpener noBrowser_;

    template <typename T>
    T* control(const char* name) {
        return window_->control<T>(name);
    }
    vellicor::ui::HtmlViewer* pane(int n) {
        return control<vellicor::ui::HtmlViewer>(("超文本浏览框" + std::to_string(n)).c_str());
    }
    QString log() { return window_->logBox()->content(); }
    vellicor::web::Session& session() { return parts_.accounts->current(); }
    // Keeps a simulator already serving: a restarted window meets the same portal.
    void open(const std::string& scenario, const Extras& extras = {}) {
        if (!server_) {
            auto started = vellicor::portal::Server::start(scenario);
            QVERIFY2(started.ok(), started.ok() ? "" : started.error().message.c_str());
            server_ = std::move(started.value());
        }
        context_ = std::make_unique<vellicor::app::AppContext>();
        context_->config = vellicor::Config::defaults().withPortal(server_->baseUrl());
        context_->messageBox = &answers_;
        context_->urlOpener = &noBrowser_;
        context_->dataFolder = extras.dataFolder.toStdString();
        context_->config.window.rememberSession = extras.remember;
        window_ = vellicor::app::MainWindow::create(*context_);
        QVERIFY(window_ != nullptr);
        parts_ = vellicor::app::addSessionControllers(*window_, *context_);
        parts_.signin->setSettleDelay(300);
        if (extras.runs) {
            vellicor::app::RunWiringOptions run;
            run.accounts = vellicor::app::accountsSource(*parts_.accounts);
            run.music.openDevice = false;
            run.checkForUpdate = false;
            runs_ = vellicor::app::addRunControllers(*window_, *context_, run);
            vellicor::app::refreshBalancesAfterSpending(*parts_.login, *parts_.signin,
                                                        *runs_.exchange);
        }
        window_->start();
    }
    QString caption(int group) {
        return control<vellicor::ui::GroupBox>(("分组框" + std::to_string(group)).c_str())
            ->caption();
    }
    std::size_t recordReads() {
        return targets("/mall/record.php").size() - targets("/mall/record.php?").size();
    }
    std::vector<std::string> targets(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& r : server_->log()) {
            if (r.target.starts_with(prefix)) {
                out.push_back(r.target);
            }
        }
        return out;
    }
    void accountLogin(const QString& password = QStringLiteral("demo-password")) {
        if (!parts_.login->secondMode()) {
            control<vellicor::ui::Button>("按钮3")->click();
        }
        QVERIFY(waitForElement(pane(2), QStringLiteral("login_button")));
        control<vellicor::ui::EditBox>("编辑框1")->setContent(QStringLiteral("10001"));
        control<vellicor::ui::EditBox>("编辑框2")->setContent(password);
        control<vellicor::ui::Button>("按钮4")->click();
    }
    // What a user does on the quick-login page: the offer of another number, then the form.
    void quickLogin(const char* account = "10001", const char* password = "demo-password") {
        QVERIFY(waitForElement(pane(1), QStringLiteral("login_button")));
        auto doc = PaneDocument::of(pane(1));
        QVERIFY(doc);
        QVERIFY(await([&](auto cb) { doc->byText("a", "使用其他号码登录").click(cb); }).ok());
        QVERIFY(await([&](auto cb) { doc->byId("u").setValue(account, cb); }).ok());
        QVERIFY(await([&](auto cb) { doc->byId("p").setValue(password, cb); }).ok());
        QVERIFY(await([&](auto cb) { doc->byId("login_button").click(cb); }).ok());
    }
    static bool keepsSession(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("skey=");
    }
    // The index of the next request the simulator logs.
    std::size_t logged() { return server_->log().size(); }
    // The cookies of the first request for the page (a path) logged from `from` on.
    std::optional<std::string> pageCookies(std::size_t from, const std::string& page) {
        const auto all = server_->log();
        for (std::size_t i = from; i < all.size(); ++i) {
            if (all[i].target.starts_with(page)) {
                return all[i].cookies;
            }
        }
        return std::nullopt;
    }
    void choose(const std::string& number) {
        QComboBox& chooser = parts_.bar->chooser();
        const int index = chooser.findData(QString::fromStdString(number));
        QVERIFY(index >= 0);
        chooser.setCurrentIndex(index);
        emit chooser.activated(index);
        QCOMPARE(parts_.accounts->currentNumber(), number);
    }
    void loggedInWithBalances() {
        QSignalSpy shown(parts_.login, &vellicor::app::LoginController::balancesShown);
        accountLogin();
        QVERIFY(shown.wait(kWait));
    }

  private slots:
    void cleanup() {
        window_.reset();
        context_.reset();
        server_.reset();
        vellicor::ui::sharedWebProfile()->cookieStore()->deleteAllCookies();
    }

    void startState() {
        open(kScenario);
        // The panes get the login addresses byte for byte as composed.
        const auto quick =
            QString::fromStdString(vellicor::web::quickLoginAddress(context_->config));
        const auto account =
            QString::fromStdString(vellicor::web::accountLoginAddress(context_->config));
        QTRY_COMPARE_WITH_TIMEOUT(pane(1)->address(), quick, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(pane(2)->address(), account, kWait);
        QVERIFY(!PaneDocument::of(pane(3)));  // no page opened yet: no document, no error
        QVERIFY(pane(1)->isVisible());
        for (const char* hidden : {"超文本浏览框2", "标签1", "编辑框1", "编辑框2", "按钮4"}) {
            QVERIFY2(!control<QWidget>(hidden)->isVisible(), hidden);
        }
        QVERIFY(!control<QWidget>("按钮7")->isEnabled());
        QVERIFY(!control<QWidget>("按钮8")->isEnabled());
        QVERIFY(waitForElement(pane(1), QStringLiteral("login_button")));
        // The simulator decoded the return address out of all the layers and put it in the form.
        auto doc = PaneDocument::of(pane(1));
        const auto returnTo = await([&](auto cb) { doc->byTag("input", 0).value(cb); });
        QCOMPARE(returnTo.value.toString().toStdString(),
                 vellicor::web::returnPageAddress(context_->config));
    }

    void paneDocument() {
        open(kScenario);
        QVERIFY(waitForElement(pane(2), QStringLiteral("login_button")));
        auto doc = PaneDocument::of(pane(2));
        QVERIFY(doc && doc->current());
        QCOMPARE(await([&](auto cb) { doc->byId("no_such_id").click(cb); }).status,
                 DomReply::Status::NoElement);
        const auto set = await([&](auto cb) { doc->byId("u").setValue("12\"3'</script>", cb); });
        QCOMPARE(set.value.toString(), QStringLiteral("12\"3'</script>"));
        QCOMPARE(await([&](auto cb) { doc->byId("login_button").text(cb); }).status,
                 DomReply::Status::Done);
        QCOMPARE(await([&](auto cb) { doc->countTag("form", cb); }).value.toInt(), 1);
        QCOMPARE(await([&](auto cb) { doc->frameCount(cb); }).value.toInt(), 0);
        QCOMPARE(await([&](auto cb) { doc->frame(0).byId("u").exists(cb); }).status,
                 DomReply::Status::NoDocument);
        QCOMPARE(await([&](auto cb) { doc->runScript("6*7", cb); }).value.toInt(), 42);
        // The page's own dialogs stay silent: the script returns instead of waiting on a box.
        QVERIFY(await([&](auto cb) { doc->runScript("alert('x');confirm('y');1", cb); }).ok());

        QSignalSpy started(pane(2), &QWebEngineView::loadStarted);
        pane(2)->setAddress(QString::fromStdString(context_->config.mall + "/mall/index.php"));
        QVERIFY(started.count() > 0 || started.wait(kWait));
        QVERIFY(!doc->current());
        QCOMPARE(await([&](auto cb) { doc->byId("u").exists(cb); }).status,
                 DomReply::Status::Stale);
    }

    void accountLoginThroughButton4() {
        open(kScenario);
        control<vellicor::ui::Button>("按钮3")->click();
        QCOMPARE(control<vellicor::ui::Button>("按钮3")->caption(), QStringLiteral("登录方式一"));
        QVERIFY(!pane(1)->isVisible());
        QVERIFY(control<QWidget>("按钮4")->isVisible());
        loggedInWithBalances();

        QCOMPARE(count(log(), QStringLiteral("登录成功\r\n")), 1);
        const std::string cookies = session().cookies();
        QVERIFY2(cookies.find("uin=o10001") != std::string::npos, cookies.c_str());
        QVERIFY2(cookies.find("skey=") != std::string::npos, cookies.c_str());
        // The record page was asked with exactly that session.
        bool recordWithSession = false;
        for (const auto& r : server_->log()) {
            recordWithSession |=
                r.target == "/mall/record.php" && r.cookies.find("skey=") != std::string::npos;
        }
        QVERIFY(recordWithSession);
        const std::vector<std::string> expected = {"CF 游票: 35", "LOL 游票: 120", "BNS 游票: 0",
                                                   "DNF 游票: 0", "Speed 游票: 0", "X5 游票: 0",
                                                   "NZ 游票: 0"};
        QCOMPARE(parts_.login->balanceTexts(), expected);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const std::string box = "分组框" + std::to_string(i + 1);
            QCOMPARE(control<vellicor::ui::GroupBox>(box.c_str())->caption().toStdString(),
                     expected[i]);
        }
        QVERIFY(control<QWidget>("按钮7")->isEnabled());
        QVERIFY(control<QWidget>("按钮8")->isEnabled());
    }

    // The portal's refusal is in the log and the login page back: the right password then
    // logs in.
    void wrongPasswordThenTheRightOne() {
        open(kScenario);
        QSignalSpy refused(parts_.login, &vellicor::app::LoginController::loginRefused);
        accountLogin(QStringLiteral("wrong"));
        QVERIFY(refused.wait(kWait));
        QVERIFY2(log().contains(QStringLiteral("登录失败: 很抱歉，您输入的帐号或密码不正确\r\n")),
                 qPrintable(log()));
        QVERIFY(control<vellicor::ui::EditBox>("编辑框2")->content().isEmpty());
        QVERIFY(!session().loggedIn());
        QCOMPARE(count(log(), QStringLiteral("登录成功")), 0);
        QVERIFY(!control<QWidget>("按钮7")->isEnabled());

        loggedInWithBalances();
        QCOMPARE(count(log(), QStringLiteral("登录成功\r\n")), 1);
        QVERIFY2(!log().contains(QStringLiteral("找不到")), qPrintable(log()));
        QCOMPARE(refused.count(), 1);
        QVERIFY(control<vellicor::ui::EditBox>("编辑框2")->content().isEmpty());
    }

    // Enter in either field of 登录方式二 logs in as 按钮4 does.
    void enterSubmitsTheAccountLogin_data() {
        QTest::addColumn<QString>("field");
        QTest::newRow("in the password") << "编辑框2";
        QTest::newRow("in the account") << "编辑框1";
    }
    void enterSubmitsTheAccountLogin() {
        QFETCH(QString, field);
        open(kScenario);
        control<vellicor::ui::Button>("按钮3")->click();
        QVERIFY(waitForElement(pane(2), QStringLiteral("login_button")));
        control<vellicor::ui::EditBox>("编辑框1")->setContent(QStringLiteral("10001"));
        control<vellicor::ui::EditBox>("编辑框2")->setContent(QStringLiteral("demo-password"));
        QSignalSpy shown(parts_.login, &vellicor::app::LoginController::balancesShown);
        QTest::keyClick(control<vellicor::ui::EditBox>(field.toUtf8().constData())->editor(),
                        Qt::Key_Return);
        QVERIFY(shown.wait(kWait));
        QCOMPARE(count(log(), QStringLiteral("登录成功\r\n")), 1);
        QVERIFY(control<vellicor::ui::EditBox>("编辑框2")->content().isEmpty());
    }

    // A refusal on the quick-login page's own form is logged as 按钮4's are.
    void quickLoginRefusalIsLogged() {
        open(kScenario);
        QSignalSpy refused(parts_.login, &vellicor::app::LoginController::loginRefused);
        quickLogin("10001", "wrong");
        QVERIFY(refused.wait(kWait));
        QVERIFY2(log().contains(QStringLiteral("登录失败: 很抱歉，您输入的帐号或密码不正确\r\n")),
                 qPrintable(log()));
        QCOMPARE(count(log(), QStringLiteral("登录失败")), 1);
        QVERIFY(!session().loggedIn());
    }

    // A run that exchanged reads the balances again; one that spent nothing does not; the
    // sign-in's end does.
    void balancesFollowRunsAndSignIn() {
        open(kScenario, {true, {}});
        loggedInWithBalances();
        QCOMPARE(caption(1), QStringLiteral("CF 游票: 35"));
        control<vellicor::ui::CheckBox>("选择框1")->setChecked(true);  // 改名, 20 tickets
        control<vellicor::ui::EditBox>("编辑框4")->setContent(QStringLiteral("1"));
        QSignalSpy shown(parts_.login, &vellicor::app::LoginController::balancesShown);
        QSignalSpy finished(runs_.exchange, &vellicor::app::ExchangeWiring::runFinished);
        control<vellicor::ui::Button>("按钮1")->click();
        QVERIFY(finished.wait(kWait));
        QVERIFY(shown.count() == 1 || shown.wait(kWait));
        QCOMPARE(caption(1), QStringLiteral("CF 游票: 15"));

        const std::size_t reads = recordReads();
        control<vellicor::ui::Button>("按钮1")->click();  // 15 tickets: refused, nothing spent
        QVERIFY(finished.wait(kWait));
        QVERIFY(log().contains(QStringLiteral("游票不足")));
        QThreadPool::globalInstance()->waitForDone(kWait);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(recordReads(), reads);

        server_->clearLog();
        emit parts_.signin->signInFinished();
        QVERIFY(shown.wait(kWait));
        QCOMPARE(recordReads(), std::size_t{1});
    }

    // An answer that lands after 重新登录 belongs to the session left: never shown.
    void refreshRacingReloginShowsNothing() {
        open(kScenario);
        loggedInWithBalances();
        QSignalSpy shown(parts_.login, &vellicor::app::LoginController::balancesShown);
        server_->clearLog();
        parts_.login->refreshBalances();
        control<vellicor::ui::Button>("按钮2")->click();
        QThreadPool::globalInstance()->waitForDone(kWait);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(recordReads(), std::size_t{1});  // the answer came, and was dropped
        QCOMPARE(shown.count(), 0);
        QCOMPARE(caption(1), QStringLiteral("CF(穿越火线)"));
        QVERIFY(parts_.login->balanceTexts().empty());
        parts_.login->refreshBalances();  // logged out: nothing is asked
        QThreadPool::globalInstance()->waitForDone(kWait);
        QCOMPARE(recordReads(), std::size_t{1});
    }

    // session.remember: the login outlives the window; 重新登录 ends it for good (the account
    // stays listed, without its session). Without it
    // nothing of the session is on disk.
    void rememberedSessionSurvivesARestart() {
        QTemporaryDir data;
        const QString kept = data.path() + QStringLiteral("/accounts/10001");
        open(kScenario, {false, data.path(), false});
        loggedInWithBalances();
        window_.reset();
        QVERIFY(!QFile::exists(kept));

        open(kScenario, {false, data.path()});
        QVERIFY(!session().restored());
        loggedInWithBalances();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(kept), kWait);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(kept).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        window_.reset();
        // What a new process would have: an empty store.
        vellicor::ui::sharedWebProfile()->cookieStore()->deleteAllCookies();

        open(kScenario, {false, data.path()});
        QSignalSpy restored(parts_.login,
                            &vellicor::app::LoginController::rememberedSessionChecked);
        QVERIFY(restored.wait(kWait));
        QCOMPARE(restored.at(0).at(0).toBool(), true);
        QVERIFY(session().loggedIn());
        QVERIFY(session().cookies().find("skey=") != std::string::npos);
        QCOMPARE(caption(1), QStringLiteral("CF 游票: 35"));
        QVERIFY(log().contains(QStringLiteral("已使用上次保存的登录")));
        // The pane shows where the login leads, not a quick-login page that sees no number.
        QTRY_COMPARE_WITH_TIMEOUT(
            pane(1)->address(),
            QString::fromStdString(vellicor::web::returnPageAddress(context_->config)), kWait);
        QVERIFY(control<QWidget>("按钮7")->isEnabled());

        QFile keptFile(kept);
        QVERIFY(keptFile.open(QIODevice::ReadOnly));
        const QByteArray keptText = keptFile.readAll();
        keptFile.close();
        control<vellicor::ui::Button>("按钮2")->click();
        QVERIFY(!keepsSession(kept));
        QTRY_VERIFY_WITH_TIMEOUT(session().cookies().empty(), kWait);
        window_.reset();
        open(kScenario, {false, data.path()});
        QVERIFY(!session().restored());
        QVERIFY(!session().loggedIn());
        window_.reset();

        // A kept session the mall no longer knows: not logged in, and the file keeps it no more.
        QByteArray stale = keptText;
        stale.replace("skey=", "skey=stale");
        QVERIFY(keptFile.open(QIODevice::WriteOnly));
        keptFile.write(stale);
        keptFile.close();
        open(kScenario, {false, data.path()});
        QVERIFY(session().restored());
        QSignalSpy refused(parts_.login, &vellicor::app::LoginController::rememberedSessionChecked);
        QVERIFY(refused.wait(kWait));
        QCOMPARE(refused.at(0).at(0).toBool(), false);
        QVERIFY(!session().loggedIn());
        QVERIFY(!keepsSession(kept));
        QVERIFY(log().contains(QStringLiteral("上次保存的登录已失效")));
    }

    void quickLoginThenRelogin() {
        open(kScenario);
        QSignalSpy finished(parts_.login, &vellicor::app::LoginController::loginFinished);
        quickLogin();
        QVERIFY(finished.count() == 1 || finished.wait(kWait));
        QTRY_COMPARE_WITH_TIMEOUT(count(log(), QStringLiteral("登录成功\r\n")), 1, kWait);

        control<vellicor::ui::Button>("按钮3")->click();
        control<vellicor::ui::Button>("按钮2")->click();  // 重新登录: first mode, login pages
        QCOMPARE(control<vellicor::ui::Button>("按钮3")->caption(), QStringLiteral("登录方式二"));
        QVERIFY(!control<QWidget>("按钮7")->isEnabled());
        QCOMPARE(control<vellicor::ui::GroupBox>("分组框1")->caption(),
                 QStringLiteral("CF(穿越火线)"));
        QTRY_COMPARE_WITH_TIMEOUT(
            pane(1)->address(),
            QString::fromStdString(vellicor::web::quickLoginAddress(context_->config)), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(
            pane(2)->address(),
            QString::fromStdString(vellicor::web::accountLoginAddress(context_->config)), kWait);
        QCOMPARE(count(log(), QStringLiteral("登录成功\r\n")), 1);

        quickLogin();
        QVERIFY(finished.count() == 2 || finished.wait(kWait));
        QTRY_COMPARE_WITH_TIMEOUT(count(log(), QStringLiteral("登录成功\r\n")), 2, kWait);
    }

    void refreshThenSignInEveryGame() {
        open(kScenario);
        loggedInWithBalances();
        server_->clearLog();

        QSignalSpy refreshed(parts_.signin, &vellicor::app::SigninController::refreshFinished);
        control<vellicor::ui::Button>("按钮8")->click();
        QVERIFY(refreshed.wait(kWait));
        QCOMPARE(targets("/center2/indexop.php?op=getsign").size(), std::size_t{7});
        QCOMPARE(control<vellicor::ui::Label>("标签3")->caption(),
                 QStringLiteral("CF  未签到 3,连续1天"));
        QCOMPARE(count(log(), QStringLiteral("正在刷新签到信息: ")), 7);

        QSignalSpy signedIn(parts_.signin, &vellicor::app::SigninController::signInFinished);
        control<vellicor::ui::Button>("按钮7")->click();
        QVERIFY(signedIn.wait(kWait * 4));
        QVERIFY(refreshed.count() == 2 || refreshed.wait(kWait));  // the refresh comes by itself
        std::vector<std::string> signs;
        for (const int gid : {1, 2, 10, 17, 26, 40, 61}) {
            signs.push_back("/center2/indexop.php?op=sign&gid=" + std::to_string(gid) +
                            "&g_tk=862047319");
        }
        QCOMPARE(targets("/center2/indexop.php?op=sign"), signs);
        QCOMPARE(count(log(), QStringLiteral("已全部签到完毕,请勿重复点击\r\n")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(count(log(), QStringLiteral("今日签到已完成!!!\r\n")), 1, kWait);
        QVERIFY(control<vellicor::ui::Label>("标签3")->caption().startsWith("CF  签到成功"));

        // Pressed again after a complete sign-in: the line again and nothing loaded.
        const auto centres = targets("/center/index.php").size();
        control<vellicor::ui::Button>("按钮7")->click();
        QCOMPARE(count(log(), QStringLiteral("已全部签到完毕,请勿重复点击\r\n")), 2);
        QCOMPARE(targets("/center/index.php").size(), centres);
    }

    void centrePageWithoutTheButtonIsSkipped() {
        open(R"({"centreWithoutButton":["BNS"]})");
        loggedInWithBalances();
        server_->clearLog();
        QSignalSpy signedIn(parts_.signin, &vellicor::app::SigninController::signInFinished);
        control<vellicor::ui::Button>("按钮7")->click();
        QVERIFY(signedIn.wait(kWait * 4));
        const auto signs = targets("/center2/indexop.php?op=sign");
        QCOMPARE(signs.size(), std::size_t{6});
        for (const auto& t : signs) {
            QVERIFY2(t.find("gid=61&") == std::string::npos, t.c_str());
        }
        QVERIFY(log().contains(QStringLiteral("BNS(剑灵): 页面上没有签到按钮,跳过\r\n")));
        QCOMPARE(count(log(), QStringLiteral("已全部签到完毕")), 0);
    }

    void usageRecordNeedsTheSession() {
        open(kScenario);
        control<vellicor::ui::Button>("按钮6")->click();
        QVERIFY(parts_.login->usageRecordWindow() == nullptr);
        QVERIFY(log().contains(QStringLiteral("请先登录")));
        loggedInWithBalances();
        server_->clearLog();
        control<vellicor::ui::Button>("按钮6")->click();
        QWidget* record = parts_.login->usageRecordWindow();
        QVERIFY(record != nullptr && record->isVisible());
        // Over the main window, not at the screen's corner; Escape closes it.
        const QPoint off = record->geometry().center() - window_->geometry().center();
        QVERIFY2(off.manhattanLength() < 64,
                 qPrintable(QStringLiteral("%1,%2").arg(off.x()).arg(off.y())));
        QTRY_VERIFY_WITH_TIMEOUT(!targets("/mall/record.php?op=cost").empty(), kWait);
        for (const auto& r : server_->log()) {
            if (r.target == "/mall/record.php?op=cost") {
                QVERIFY(r.cookies.find("skey=") != std::string::npos);  // the panes' session
            }
        }
        record->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(record));
        QTest::keyClick(record, Qt::Key_Escape);
        QTRY_VERIFY_WITH_TIMEOUT(parts_.login->usageRecordWindow() == nullptr, kWait);
    }

    // Two accounts logged in one after the other in the same panes keep their own cookie
    // stores: the panes of the account in view carry its cookies only, both stay logged in,
    // and the captions are those of the account in view.
    void twoAccountsKeepTheirOwnCookies() {
        open(kScenario);
        QSignalSpy shown(parts_.login, &vellicor::app::LoginController::balancesShown);
        quickLogin("10001");
        QVERIFY(shown.wait(kWait));
        QCOMPARE(parts_.accounts->currentNumber(), std::string("10001"));
        choose("");  // 新帐号登录
        QVERIFY(session().cookies().empty());
        quickLogin("10002");
        QVERIFY(shown.wait(kWait));
        QCOMPARE(parts_.accounts->accounts().size(), std::size_t{2});
        QCOMPARE(caption(1), QStringLiteral("CF 游票: 240"));

        struct Row {
            std::string shown, other;
            QString cf;
        };
        for (const Row& row : {Row{"10001", "10002", QStringLiteral("CF 游票: 35")},
                               Row{"10002", "10001", QStringLiteral("CF 游票: 240")}}) {
            const std::size_t from = logged();
            choose(row.shown);
            QCOMPARE(caption(1), row.cf);
            QVERIFY(session().loggedIn());
            // A logged-in account's quick pane goes where its login led: the return page.
            const std::string base = server_->baseUrl();
            const std::string page =
                vellicor::web::returnPageAddress(context_->config).substr(base.size());
            QTRY_VERIFY_WITH_TIMEOUT(pageCookies(from, page).has_value(), kWait);
            const std::string cookies = *pageCookies(from, page);
            QVERIFY2(cookies.find("uin=o" + row.shown) != std::string::npos, cookies.c_str());
            QVERIFY2(cookies.find(row.other) == std::string::npos, cookies.c_str());
        }
    }

    // Removing the account in view brings the other into view, its panes on its own store.
    void removingTheAccountInView() {
        QTemporaryDir data;
        open(kScenario, {false, data.path()});
        QSignalSpy shown(parts_.login, &vellicor::app::LoginController::balancesShown);
        quickLogin("10001");
        QVERIFY(shown.wait(kWait));
        choose("");
        quickLogin("10002");
        QVERIFY(shown.wait(kWait));
        const QString file = data.path() + QStringLiteral("/accounts/10002");
        QVERIFY(QFile::exists(file));
        QVERIFY(parts_.accounts->remove("10002").ok());
        QVERIFY(!QFile::exists(file));
        QVERIFY(!QDir(data.path() + QStringLiteral("/profiles/10002")).exists());
        QCOMPARE(parts_.accounts->currentNumber(), std::string("10001"));
        QCOMPARE(caption(1), QStringLiteral("CF 游票: 35"));
        QCOMPARE(parts_.bar->chooser().count(), 2);
    }

    // 签 with two accounts: the sign-in pane signs in the one, then the other, each page
    // request with its own account's cookies only.
    void signInSignsEveryAccountInTurn() {
        open(kScenario);
        QSignalSpy shown(parts_.login, &vellicor::app::LoginController::balancesShown);
        quickLogin("10001");
        QVERIFY(shown.wait(kWait));
        choose("");
        quickLogin("10002");
        QVERIFY(shown.wait(kWait));
        choose("10001");
        server_->clearLog();

        QSignalSpy signedIn(parts_.signin, &vellicor::app::SigninController::signInFinished);
        control<vellicor::ui::Button>("按钮7")->click();
        QVERIFY(signedIn.wait(kWait * 8));
        std::vector<std::string> who;
        for (const auto& r : server_->log()) {
            if (r.target.starts_with("/center2/indexop.php?op=sign&")) {
                const std::string number = vellicor::web::accountNumber(r.cookies);
                const std::string other = number == "10001" ? "10002" : "10001";
                QVERIFY2(r.cookies.find(other) == std::string::npos, r.cookies.c_str());
                who.push_back(number);
            }
        }
        std::vector<std::string> expected(7, "10001");
        expected.resize(14, "10002");
        QCOMPARE(who, expected);
        QCOMPARE(parts_.accounts->currentNumber(), std::string("10001"));
    }
};

int main(int argc, char** argv) {
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS")) {
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    }
    ::umask(077);  // as the program itself
    QApplication app(argc, argv);
    SessionWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "session_window_test.moc"
