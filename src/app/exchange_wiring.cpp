#include <malloc.h>

#include <QPointer>
#include <QThreadPool>
#include <QWidget>

#include "app/run_wiring.h"
#include "app/timeline_view.h"
#include "app/window_view.h"
#include "mall/catalogue.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"

namespace vellicor::app {
namespace {

// An exchange, a win and a lost draw all cost tickets; refusals and failures cost none.
bool ticketsSpent(const mall::RunSummary& summary) {
    for (const mall::ItemTally& item : summary.items) {
        if (item.count(mall::OutcomeKind::Popup) > 0 ||
            item.count(mall::OutcomeKind::LotteryLoss) > 0) {
            return true;
        }
    }
    return false;
}

// The run's picture beside the day's log, named in the log.
void logTimelineSaved(const AppContext& context, const mall::RunSummary& summary,
                      const std::string& svg, const std::string& logPath) {
    if (!summary.timeline) {
        return;
    }
    const auto saved = saveTimeline(*summary.timeline, svg, logPath, *context.clock);
    context.log(saved ? "时间线：" + saved->svg + "、" + saved->csv + "\r\n"
                      : "时间线未能保存：" + saved.error().message + "\r\n");
}

}  // namespace

ExchangeWiring::ExchangeWiring(WindowView& window, AppContext& context,
                               const RunWiringOptions& options)
    : window_(window),
      accounts_(options.accounts),
      notifier_(context.notifier),
      notifyWins_(context.config.window.notifyWins) {
    run::TimedRunSetup setup;
    setup.config = context.config;
    setup.clock = context.clock;
    setup.log = context.log;
    setup.alerter = context.alerter;
    // The run reads the controls and hands over its timer's moments on the window's thread;
    // what is still queued when the window goes is dropped with it.
    setup.post = [this](std::function<void()> work) {
        QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
    };
    setup.sessionCheck = options.sessionProbe;
    setup.scheduler = options.scheduler;
    setup.timeline = true;
    run_ = std::make_unique<run::TimedRun>(std::move(setup), hooks(context));
}

run::TimedRunHooks ExchangeWiring::hooks(AppContext& context) {
    run::TimedRunHooks out;
    out.input = [this] { return input(); };
    out.outcome = [this](const mall::Item& item, const mall::Outcome& o,
                         const std::string& account) { outcome(item, o, account); };
    out.finished = [this, &context](const mall::RunSummary& summary) {
        finished(context, summary);
    };
    out.refused = [this](const std::string& line) {
        emit armingRefused(QString::fromStdString(line));
    };
    out.fired = [this] { emit timerFired(); };
    return out;
}

// The engine ends a run on its own thread; the signal comes on the window's thread once the
// run's lines, logged first, are in the box.
void ExchangeWiring::finished(AppContext& context, const mall::RunSummary& summary) {
    ++runNumber_;
    // Made once, off the window's thread: saved, then shown.
    std::string svg = summary.timeline ? mall::timelineSvg(*summary.timeline) : std::string();
    // Right under the summary line: where the lines the log box no longer holds are.
    const std::string path = context.logFilePath ? context.logFilePath() : std::string();
    if (!path.empty() && context.log) {
        context.log("完整日志：" + path + "\r\n");
        logTimelineSaved(context, summary, svg, path);
    }
    QPointer<ExchangeWiring> self(this);
    auto done = [self, spent = ticketsSpent(summary), svg = std::move(svg)] {
        // A big run's thousands of requests leave their memory free but held in the
        // allocator's per-thread pools, more with each run: handed back to the system, off
        // the window's thread, once the engine's thread has let go of it.
        QThreadPool::globalInstance()->start([] { malloc_trim(0); });
        if (self) {
            showTimeline(svg, dynamic_cast<QWidget*>(&self->window_));
            emit self->runFinished();
        }
        if (self && spent) {
            emit self->ticketsMayHaveChanged();
        }
    };
    if (context.afterLogShown) {
        context.afterLogShown(std::move(done));
    } else {
        QMetaObject::invokeMethod(this, std::move(done), Qt::QueuedConnection);
    }
}

// The run, a member, waits for a run still under way before the object goes; the finishing
// post that run makes is dropped with the object.
ExchangeWiring::~ExchangeWiring() = default;

// A run cut short by the close still ends with its summary: the window waits the moment the
// cancelled run takes to write it, so that the log file closes with it.
void ExchangeWiring::closing() {
    run_->disarm();
    run_->stop();
}

std::vector<std::string> ExchangeWiring::tickedItems() const {
    std::vector<std::string> names;
    for (const mall::Item& item : mall::items()) {
        const auto* box = window_.itemBox(item);
        if (box != nullptr && box->checked()) {
            names.emplace_back(item.id);
        }
    }
    return names;
}

run::RunInput ExchangeWiring::input() const {
    return {tickedItems(), window_.workerField().content().toStdString(),
            accounts_ ? accounts_() : web::oneAccount({})};
}

// A win or an exchange tells the user at once, also with the window out of sight: once per
// item and account in a run, as a thousand workers of one item may all be lucky, while two
// accounts winning the same item are two wins.
void ExchangeWiring::outcome(const mall::Item& item, const mall::Outcome& outcome,
                             const std::string& account) {
    if (notifier_ == nullptr || !notifyWins_ || outcome.kind != mall::OutcomeKind::Popup) {
        return;
    }
    // Counted on the engine's thread, where the run's outcomes come before its end.
    Win win{runNumber_.load(), std::string(item.id), std::string(item.caption), account,
            outcome.message};
    QMetaObject::invokeMethod(
        this, [this, win = std::move(win)] { announceWin(win); }, Qt::QueuedConnection);
}

void ExchangeWiring::announceWin(const Win& win) {
    if (win.run != announcedRun_) {
        announcedRun_ = win.run;
        announced_.clear();
    }
    if (!announced_.insert({win.item, win.account}).second) {
        return;
    }
    // The account leads the text: two accounts' wins of one item read alike otherwise, and
    // some notification servers fold notifications that read alike into one.
    notifier_->notify(win.caption,
                      win.account.empty() ? win.message : win.account + "：" + win.message);
}

bool ExchangeWiring::startRun() {
    return run_->runNow(false);
}

}  // namespace vellicor::app
