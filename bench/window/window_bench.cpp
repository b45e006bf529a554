// How late the window's thread runs a 10 ms timer while a big run's lines reach the log box,
// and the window's peak resident memory, over three runs one after the other in one window.
//
//   vellicor-bench-window [--engine] [--items N] [--requests N] [--runs N]
//
// By default the lines come as a burst from four threads through the window's log sink,
// as the engine's would (44 items × 1,000 lines); --engine fires a real run of that size
// against the portal simulator in this process. The log file goes to a temporary folder.
// Needs a display (QT_QPA_PLATFORM=offscreen will do).

#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "app/run_wiring.h"
#include "mall/catalogue.h"
#include "mall/outcome.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "portal/server.h"

using namespace vellicor;
using namespace std::chrono;

namespace {

constexpr int kTickMs = 10;
constexpr int kThreads = 4;

struct Settings {
    bool engine = false;
    int items = 44;
    int requests = 1000;
    int runs = 3;
};

struct RunResult {
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    int ticks = 0;
    double seconds = 0;
    long peakRssKb = 0;
};

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Resident now, from /proc.
long residentKb() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

// Records how far past its period each tick of a 10 ms timer comes while `busy` holds.
class LatenessProbe {
  public:
    LatenessProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    }
    void start() {
        late_.clear();
        clock_.start();
        last_ = 0;
        timer_.start(kTickMs);
    }
    std::vector<double> stop() {
        timer_.stop();
        return late_;
    }

  private:
    void tick() {
        const qint64 now = clock_.nsecsElapsed();
        late_.push_back(std::max(0.0, static_cast<double>(now - last_) / 1e6 - kTickMs));
        last_ = now;
    }
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    std::vector<double> late_;
};

// Lines shaped like the engine's, from four threads at once.
void pourLines(const LogSink& log, const Settings& s) {
    std::vector<std::thread> threads;
    const int total = s.items * s.requests;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t, total] {
            for (int i = t; i < total; i += kThreads) {
                log(mall::outcomeLine(mall::linePrefix("12:00:00.004", "烟雾头(抽奖)", i, 1),
                                      "很抱歉，该商品今日已被兑换完"));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

// The option's number within 1..most, or the default.
int numberOr(const QCommandLineParser& parser, const QString& name, int otherwise, int most) {
    const int n = parser.value(name).toInt();
    return n >= 1 ? std::min(n, most) : otherwise;
}

// Runs the event loop until the condition holds, ten minutes at most. The probe's timer
// wakes the loop every 10 ms.
template <typename F>
bool waitUntil(F&& done) {
    QDeadlineTimer deadline(600000);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool waitForText(app::MainWindow& window, const QString& marker) {
    auto* editor = qobject_cast<QPlainTextEdit*>(window.logBox()->editor());
    return waitUntil(
        [&] { return editor->document()->lastBlock().previous().text().contains(marker); });
}

}  // namespace

int main(int argc, char** argv) {
    if (::geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption(
        {QStringLiteral("engine"), QStringLiteral("A real run against the simulator.")});
    parser.addOption({QStringLiteral("items"), QStringLiteral("Items."), QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("requests"), QStringLiteral("Per item."), QStringLiteral("N")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs."), QStringLiteral("N")});
    parser.process(app);
    Settings s;
    s.engine = parser.isSet(QStringLiteral("engine"));
    s.items = numberOr(parser, QStringLiteral("items"), s.items, 44);
    s.requests = numberOr(parser, QStringLiteral("requests"), s.requests, 1000);
    s.runs = numberOr(parser, QStringLiteral("runs"), s.runs, 10);

    auto server = portal::Server::start(std::string());
    if (!server) {
        std::fprintf(stderr, "simulator: %s\n", server.error().message.c_str());
        return 1;
    }
    QTemporaryDir data;
    app::AppContext context;
    context.config = Config::defaults().withPortal((*server)->baseUrl());
    context.config.timer.useServerClock = false;
    context.dataFolder = data.path().toStdString();
    auto window = app::MainWindow::create(context);
    app::RunWiringOptions wiring;
    const std::string cookies = (*server)->sessionCookie().value();
    wiring.accounts = [&cookies] { return web::oneAccount(cookies); };
    wiring.music.openDevice = false;
    wiring.checkForUpdate = false;
    const app::RunControllers run = app::addRunControllers(*window, context, wiring);
    window->start();
    int ticked = 0;
    for (const mall::Item& item : mall::items()) {
        if (item.enabled && ticked++ < s.items) {
            window->itemBox(item)->setChecked(true);
        }
    }
    window->control<ui::EditBox>("编辑框4")->setContent(QString::number(s.requests));

    std::printf("%s: %d items x %d lines, %d runs\n", s.engine ? "engine" : "relay burst", s.items,
                s.requests, s.runs);
    std::printf(
        "| run | lines | seconds | ticks | p50 late ms | p99 late ms | max late ms "
        "| RSS after MiB | peak RSS MiB |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    LatenessProbe probe;
    for (int r = 1; r <= s.runs; ++r) {
        const QString marker = QStringLiteral("bench-run-%1-done").arg(r);
        QElapsedTimer wall;
        probe.start();
        wall.start();
        bool ended = false;
        if (s.engine) {
            bool finished = false;
            QObject::connect(
                run.exchange, &app::ExchangeWiring::runFinished, window.get(),
                [&finished] { finished = true; }, Qt::SingleShotConnection);
            ended = run.exchange->startRun() && waitUntil([&finished] { return finished; });
        } else {
            std::thread pour([&] {
                pourLines(context.log, s);
                context.log(marker.toStdString() + "\r\n");
            });
            ended = waitForText(*window, marker);
            pour.join();
        }
        const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
        const std::vector<double> late = probe.stop();
        if (!ended) {
            std::fprintf(stderr, "run %d did not end: %s\n", r,
                         qPrintable(window->logBox()->content().right(300)));
            return 1;
        }
        std::printf("| %d | %d | %.2f | %zu | %.2f | %.2f | %.2f | %.0f | %.0f |\n", r,
                    s.items * s.requests, seconds, late.size(), percentile(late, 0.5),
                    percentile(late, 0.99), percentile(late, 1.0),
                    static_cast<double>(residentKb()) / 1024.0,
                    static_cast<double>(peakRssKb()) / 1024.0);
        std::fflush(stdout);
        (*server)->clearLog();  // the simulator's request log is not the window's memory
    }
    window.reset();
    return 0;
}
