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

ExchangeWiring::ExchangeWiring(WindowView& window, AppContext& context, CookieSource cookies,
                               AccountsSource accounts)
    : window_(window),
      cookies_(std::move(cookies)),
      accounts_(std::move(accounts)),
      notifier_(context.notifier),
      notifyWins_(context.config.window.notifyWins),
      alerts_(context),
      controller_(context.config, *context.clock, context.log) {
    // The engine ends a run on its own thread; the signal comes on the window's thread once
    // the run's lines, logged first, are in the box.
    controller_.setOnFinished([this, &context](const mall::RunSummary& summary) {
        alerts_.finished(summary);
        // Made once, off the window's thread: saved, then shown.
        std::string svg = summary.timeline ? mall::timelineSvg(*summary.timeline) : std::string();
        // Right under the summary line: where the lines the log box no longer holds are.
        const std::string path = context.logFilePath ? context.logFilePath() : std::string();
        if (!path.empty() && context.log) {
            context.log("完整日志：" + path + "\r\n");
            logTimelineSaved(context, summary, svg, path);
        }
        QPointer<ExchangeWiring> self(this);
        auto finished = [self, spent = ticketsSpent(summary), svg = std::move(svg)] {
            // A big run's thousands of requests leave their memory free but held in the
            // allocator's per-thread pools, more with each run: handed back to the system,
            // off the window's thread, once the engine's thread has let go of it.
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
            context.afterLogShown(std::move(finished));
        } else {
            QMetaObject::invokeMethod(this, std::move(finished), Qt::QueuedConnection);
        }
    });
}

// The controller, a member, waits for a run still under way before the object goes; the
// finishing post that run makes is dropped with the object.
ExchangeWiring::~ExchangeWiring() = default;

// A run cut short by the close still ends with its summary: the window waits the moment the
// cancelled run takes to write it, so that the log file closes with it.
void ExchangeWiring::closing() {
    controller_.cancel();
    controller_.wait();
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

// A win or an exchange tells the user at once, also with the window out of sight: once per
// item and account in a run, as a thousand workers of one item may all be lucky, while two
// accounts winning the same item are two wins.
void ExchangeWiring::watchForWins(mall::RunOptions& options) {
    if (notifier_ == nullptr || !notifyWins_) {
        return;
    }
    const int run = ++runNumber_;
    options.onOutcome = [this, run](const mall::Item& item, const mall::Outcome& outcome,
                                    const std::string& account) {
        if (outcome.kind != mall::OutcomeKind::Popup) {
            return;
        }
        QMetaObject::invokeMethod(
            this,
            [this, run,
             win = Win{std::string(item.id), std::string(item.caption), account, outcome.message}] {
                announceWin(run, win);
            },
            Qt::QueuedConnection);
    };
}

void ExchangeWiring::announceWin(int run, const Win& win) {
    if (run != announcedRun_) {
        announcedRun_ = run;
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

bool ExchangeWiring::startRun(mall::RunOptions options) {
    watchForWins(options);
    options.timeline = true;
    alerts_.watch(options);
    const bool started = startWith(std::move(options));
    alerts_.started(started);
    return started;
}

bool ExchangeWiring::startWith(mall::RunOptions options) {
    const std::string workers = window_.workerField().content().toStdString();
    if (accounts_) {
        const std::vector<mall::RunAccount> accounts = runAccounts();
        if (!accounts.empty()) {
            return controller_.start(tickedItems(), workers, accounts, options);
        }
        // None ticked or logged in: the engine's own refusal says so.
        return controller_.start(tickedItems(), workers, std::string(), options);
    }
    const std::string cookies = cookies_ ? cookies_() : std::string();
    return controller_.start(tickedItems(), workers, cookies, options);
}

std::vector<mall::RunAccount> ExchangeWiring::runAccounts() {
    std::vector<mall::RunAccount> out = accounts_();
    std::lock_guard lock(leftOutMutex_);
    std::erase_if(out, [this](const mall::RunAccount& a) { return leftOut_.contains(a.name); });
    leftOut_.clear();  // the run it was found for is this one
    return out;
}

}  // namespace vellicor::app
