// The window front end: builds the main window from its form and runs its message loop.
//
//   vellicor [--config FILE | --portal URL] [--demo-accounts LIST] [--screenshot PATH]
//            [--quit-after MS]
//   vellicor --help | --version

#include <sys/stat.h>
#include <QApplication>
#include <QCommandLineParser>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <cstdio>
#include <optional>

#include "app/account_sessions.h"
#include "app/app_icon.h"
#include "app/link_panel.h"
#include "app/login_controller.h"
#include "app/main_window.h"
#include "app/wiring.h"
#include "platform/qt/desktop_notifier.h"
#include "platform/qt/qt_services.h"
#include "platform/runtime.h"
#include "portal/embedded.h"
#include "vellicor_version.h"

namespace {

using vellicor::app::AppContext;
using vellicor::app::MainWindow;

struct Options {
    QString config;
    QString portal;
    QString screenshot;
    int quitAfterMs = 0;
    QStringList demoAccounts;
};

// Runs before the window's application object exists: --help and --version need no display.
std::optional<Options> parseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Vellicor: the window of the ticket mall's exchange tool. It logs in inside its panes,\n"
        "shows the balances, and fires the exchange requests at the set instant.\n"
        "Without --portal, and without a --config file that names the portal's hosts, it uses\n"
        "the built-in portal simulator."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(
        {QStringLiteral("config"), QStringLiteral("Configuration file."), QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("portal"),
                      QStringLiteral("Base address that replaces every publisher host."),
                      QStringLiteral("URL")});
    parser.addOption({QStringLiteral("screenshot"),
                      QStringLiteral("Save a PNG of the window once it is shown."),
                      QStringLiteral("PATH")});
    parser.addOption({QStringLiteral("quit-after"),
                      QStringLiteral("Close the window after that many milliseconds."),
                      QStringLiteral("MS")});
    parser.addOption({QStringLiteral("demo-accounts"),
                      QStringLiteral("With the built-in simulator: log these demo accounts in at\n"
                                     "the start (numbers, separated by commas)."),
                      QStringLiteral("LIST")});
    parser.process(app);
    Options options{parser.value(QStringLiteral("config")),
                    parser.value(QStringLiteral("portal")),
                    parser.value(QStringLiteral("screenshot")),
                    0,
                    {}};
    options.demoAccounts =
        parser.value(QStringLiteral("demo-accounts")).split(u',', Qt::SkipEmptyParts);
    if (parser.isSet(QStringLiteral("quit-after"))) {
        bool ok = false;
        options.quitAfterMs = parser.value(QStringLiteral("quit-after")).toInt(&ok);
        if (!ok || options.quitAfterMs < 0) {
            std::fprintf(stderr, "vellicor: --quit-after wants a number of milliseconds\n");
            return std::nullopt;
        }
    }
    return options;
}

// The configuration file, a portal address, or (with neither) the portal simulator started in
// this process; the simulator serves as long as the returned setup lives.
std::optional<vellicor::portal::PortalSetup> resolveConfiguration(const Options& options) {
    auto resolved =
        vellicor::resolveConfig(options.config.toStdString(), options.portal.toStdString());
    auto setup =
        resolved ? vellicor::portal::startEmbedded(std::move(resolved).value()) : resolved.error();
    if (!setup) {
        std::fprintf(stderr, "vellicor: %s\n", setup.error().message.c_str());
        return std::nullopt;
    }
    if (setup->server) {
        std::printf("vellicor: portal simulator serving on %s\n", setup->server->baseUrl().c_str());
        std::fflush(stdout);
    }
    return std::move(setup).value();
}

// Saves what the screen shows of the window (the browser panes included); falls back to
// the window's own rendering when the screen cannot be read.
bool saveScreenshot(MainWindow& window, const QString& path) {
    QPixmap shot;
    if (QScreen* screen = window.screen(); screen != nullptr) {
        shot = screen->grabWindow(window.winId());
    }
    if (shot.isNull()) {
        shot = window.grab();
    }
    return shot.save(path, "PNG");
}

// The screenshot waits until the pane in view has finished its page, or a few seconds at
// most, so that it shows what a user would see.
void scheduleScreenshot(MainWindow& window, const QString& path) {
    vellicor::app::Pane* pane = &window.quickLoginPane();
    auto* once = new QTimer(&window);
    once->setSingleShot(true);
    QObject::connect(once, &QTimer::timeout, &window, [&window, path, once] {
        once->deleteLater();
        if (saveScreenshot(window, path)) {
            std::printf("vellicor: screenshot saved to %s\n", qPrintable(path));
        } else {
            std::fprintf(stderr, "vellicor: could not save the screenshot to %s\n",
                         qPrintable(path));
        }
        std::fflush(stdout);
    });
    QObject::connect(pane, &vellicor::app::Pane::loadFinished, once, [once] { once->start(800); });
    once->start(5000);
}

// The demo accounts named on the command line, logged in through the simulator's login form
// and listed as if logged in in the panes; the first in view.
void logInDemoAccounts(const vellicor::app::SessionControllers& session,
                       const vellicor::portal::PortalSetup& portal, const QStringList& numbers,
                       const AppContext& context) {
    const std::string host =
        QUrl(QString::fromStdString(portal.server->baseUrl())).host().toStdString();
    std::string first;
    for (const QString& number : numbers) {
        auto cookies = vellicor::portal::demoLogin(portal.config, number.trimmed().toStdString());
        auto added = cookies ? session.accounts->addSession(*cookies, host)
                             : vellicor::Result<std::string>(cookies.error());
        if (!added) {
            context.log("演示帐号 " + number.toStdString() + " 登录失败: " + added.error().message +
                        "\r\n");
        } else if (first.empty()) {
            first = *added;
        }
    }
    if (!first.empty()) {
        (void)session.accounts->show(first);
        session.login->refreshBalances();
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the browser engine or the tool keeps on disk may hold a session: the user's
    // alone to read.
    ::umask(077);
    vellicor::raiseDescriptorLimit();
    // The browser engine shares GL contexts; that must be set before any application object.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QCoreApplication::setApplicationName(QStringLiteral("vellicor"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(vellicor::kProgramVersion));
    std::optional<Options> options;
    {
        QCoreApplication parsing(argc, argv);
        options = parseOptions(parsing);
    }
    if (!options) {
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setWindowIcon(vellicor::app::appIcon());  // the notifications' icon too
    vellicor::ui::QtMessageBoxService messageBox;
    vellicor::ui::QtUrlOpener urlOpener(&messageBox);
    vellicor::setFatalReporter([&messageBox](const std::string& text) {
        std::fputs(text.c_str(), stderr);
        messageBox.show(text, vellicor::mbflags::IconError | vellicor::mbflags::TaskModal,
                        vellicor::kDefaultCaption);
    });

    auto portal = resolveConfiguration(*options);
    if (!portal) {
        return 2;
    }

    AppContext context;
    context.config = portal->config;
    context.messageBox = &messageBox;
    context.urlOpener = &urlOpener;
    // It speaks only from the event loop, when the window has given the context its log box.
    vellicor::ui::DesktopNotifier notifier([&context](const std::string& line) {
        if (context.log) {
            context.log(line);
        }
    });
    context.notifier = &notifier;
    context.dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation).toStdString();

    auto window = MainWindow::create(context);
    if (!window) {
        return vellicor::reportRuntimeError(messageBox, vellicor::kWindowLoadFailed);
    }
    const auto session = vellicor::app::wireControllers(*window, context);
    window->start();
    if (context.config.window.notifyWins) {
        notifier.start();
    }
    if (portal->server && !options->demoAccounts.isEmpty()) {
        logInDemoAccounts(session, *portal, options->demoAccounts, context);
    }

    if (!options->screenshot.isEmpty()) {
        scheduleScreenshot(*window, options->screenshot);
    }
    if (options->quitAfterMs > 0) {
        QTimer::singleShot(options->quitAfterMs, window.get(), [&window] { window->close(); });
    }
    const int code = QApplication::exec();
    window.reset();
    return code;
}
