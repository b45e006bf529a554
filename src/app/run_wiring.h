#pragma once
// The window side of the exchange run (按钮1), the timed redemption (按钮9, 编辑框5-7, 时钟2),
// the update check at start and the background music (start-up, 按钮5). Each controller
// subscribes to its events (window_events.h) over its core class and keeps the window's thread
// free: runs, wake-ups and the update check work on threads of their own and hand back to the
// window's thread only what touches a control.

#include <QObject>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/alert_wiring.h"
#include "app/app_context.h"
#include "app/update_check.h"
#include "app/window_events.h"
#include "platform/music/background_music.h"
#include "run/timed_run.h"

namespace vellicor::app {

class WindowView;

// The accounts ticked for a run, each with its cookie string of the moment; none logged in is
// one account without a session, which the run refuses as "not logged in".
using AccountsSource = std::function<std::vector<web::Account>()>;
// Whether the mall takes an account's session. Blocking; called off the window's thread.
using SessionProbe = std::function<mall::SessionState(const web::Account& account)>;

struct RunWiringOptions {
    AccountsSource accounts;
    SessionProbe sessionProbe;  // empty: mall::checkSession with the context's configuration
    // Tuning of the timer's wake-up; a clock that only moves when told wants spin 0.
    schedule::Scheduler::Options scheduler;
    // How often the countdown display is brought up to date while armed. It only redraws: the
    // firing is the scheduler's own wake-up, so this period bears on nothing but the display.
    int countdownPeriodMs = 200;
    music::MusicOptions music;
    bool checkForUpdate = true;
    PageFetch updateFetch;  // empty: the page request
};

// 按钮1 "兑换" and the run's output: the ticked items, the worker field and the ticked
// accounts of the moment go to the one run of the core, whose engine thread writes every
// outcome line; wins are told at once, and the run's picture is saved and shown.
class ExchangeWiring final : public QObject {
    Q_OBJECT
  public:
    ExchangeWiring(WindowView& window, AppContext& context, const RunWiringOptions& options);
    ~ExchangeWiring() override;

    void closing();

    // Starts a run from what the window shows now; false (with a line in the log) when
    // nothing was sent. Window's thread only.
    bool startRun();
    // The ids of the ticked items, in catalogue order.
    std::vector<std::string> tickedItems() const;
    run::TimedRun& run() { return *run_; }

  signals:
    // On the window's thread, after the run's last line is in the log box.
    void runFinished();
    // Right after runFinished, for a run that exchanged or drew: the balances have moved.
    void ticketsMayHaveChanged();
    // The armed time came and its run is on its way.
    void timerFired();
    // The arming was refused after the fact, its line logged; the timer has disarmed.
    void armingRefused(const QString& line);

  private:
    struct Win {
        int run = 0;
        std::string item;  // the catalogue id
        std::string caption;
        std::string account;  // empty: the run's one session
        std::string message;
    };
    run::TimedRunHooks hooks(AppContext& context);
    void outcome(const mall::Item& item, const mall::Outcome& outcome, const std::string& account);
    void finished(AppContext& context, const mall::RunSummary& summary);
    void announceWin(const Win& win);
    run::RunInput input() const;

    WindowView& window_;
    AccountsSource accounts_;
    Notifier* notifier_;
    bool notifyWins_;
    std::atomic<int> runNumber_{0};  // the engine's thread counts the runs that ended
    int announcedRun_ = -1;
    std::set<std::pair<std::string, std::string>> announced_;  // (item, account) told this run
    std::unique_ptr<run::TimedRun> run_;  // last: its threads end before the rest goes
};

// The timer group "定时系统": its fields, "定" and the countdown; the timed run itself is the
// exchange's.
class TimerWiring final : public QObject {
    Q_OBJECT
  public:
    TimerWiring(WindowView& window, AppContext& context, ExchangeWiring& exchange,
                const RunWiringOptions& options);
    ~TimerWiring() override;

    void timeFieldEdited(TimeField field);
    void armTimerClicked();
    void countdownTicked();
    void closing();

    bool armed() const { return timer().armed(); }

  signals:
    // On the window's thread, once the armed time has come and its run has been started.
    void fired();

  private:
    schedule::TimedRedemption& timer() { return exchange_.run().timer(); }
    const schedule::TimedRedemption& timer() const { return exchange_.run().timer(); }
    void wokeUp();
    void refuse(const QString& line);
    void show(const schedule::TimerDisplay& display);
    void setCountdownRunning(bool on);
    std::optional<TimeField> emptyField() const;
    bool refuseOutOfRange() const;
    bool fieldsAsArmed() const;
    std::string armedCaption() const;

    WindowView& window_;
    AppContext& context_;
    ExchangeWiring& exchange_;
    std::array<std::string, 3> armedTexts_;  // the fields as the latest arming wrote them
    std::string armedAt_;                    // the armed time as 12:00:00
    int periodMs_;
};

// The update check, once at start, on a thread of its own. Its question is shown on the
// window's thread while the check waits for the answer.
class UpdateCheckWiring final : public QObject {
    Q_OBJECT
  public:
    UpdateCheckWiring(AppContext& context, PageFetch fetch, bool enabled);
    ~UpdateCheckWiring() override;  // waits for the check (bounded by the request time-outs)

    void started();
    void closing();  // a question not yet shown is never shown

  signals:
    // On the window's thread; the outcome is an UpdateOutcome.
    void finished(int outcome);

  private:
    class Asker;

    AppContext& context_;
    PageFetch fetch_;
    bool enabled_;
    std::shared_ptr<Asker> asker_;
    std::thread thread_;
};

// The window's background music: plays once from the window's creation; 按钮5 stops it for
// the rest of the run; it stops with the window.
class MusicWiring final {
  public:
    explicit MusicWiring(music::MusicOptions options) : options_(std::move(options)) {}

    void started();
    void stopMusicClicked();
    void closing() { music_.reset(); }

    // Null before the window's creation and after its end.
    music::BackgroundMusic* music() const { return music_.get(); }

  private:
    music::MusicOptions options_;
    std::unique_ptr<music::BackgroundMusic> music_;
};

struct RunControllers {
    ExchangeWiring* exchange = nullptr;
    TimerWiring* timer = nullptr;
    UpdateCheckWiring* update = nullptr;
    MusicWiring* music = nullptr;
};

// Adds the four controllers to the window (owned by it) and subscribes them to their events;
// call before MainWindow::start().
RunControllers addRunControllers(WindowView& window, AppContext& context,
                                 const RunWiringOptions& options);

}  // namespace vellicor::app
