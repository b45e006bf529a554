#pragma once
// The window side of the exchange run (按钮1), the timed redemption (按钮9, 编辑框5-7, 时钟2),
// the update check at start and the background music (start-up, 按钮5). Each controller sits
// on the dispatch seam (window_handlers.h) over its core class and keeps the window's thread
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
#include "app/window_handlers.h"
#include "mall/exchange_controller.h"
#include "platform/music/background_music.h"
#include "schedule/timed_redemption.h"

namespace vellicor::app {

class WindowView;

// The session cookie string as it stands at the moment of asking (empty: not logged in).
using CookieSource = std::function<std::string()>;
// The accounts ticked for a run, each with its cookie string of the moment.
using AccountsSource = std::function<std::vector<mall::RunAccount>()>;
// Whether the mall's record page answers for a cookie string. Blocking; called off the
// window's thread.
using SessionProbe = std::function<schedule::SessionState(const std::string& cookies)>;

// Asks the record page with the cookie string: an empty string is logged out without a
// request, a page that sends the visitor to the login is logged out, a page that cannot be
// had at all is unreachable.
schedule::SessionState probeSession(const Config& config, const std::string& cookies);

struct RunWiringOptions {
    CookieSource cookies;
    // Set: a run goes for every account it gives, and `cookies` is not asked.
    AccountsSource accounts;
    SessionProbe sessionProbe;  // empty: probeSession with the context's configuration
    // Tuning of the timer's wake-up; a clock that only moves when told wants spin 0.
    schedule::Scheduler::Options scheduler;
    // How often the countdown display is brought up to date while armed. It only redraws: the
    // firing is the scheduler's own wake-up, so this period bears on nothing but the display.
    int countdownPeriodMs = 200;
    music::MusicOptions music;
    bool checkForUpdate = true;
    PageFetch updateFetch;  // empty: the page request
};

// 按钮1 "兑换": the ticked items, the worker field and the session cookie string of this
// moment go to the exchange controller, whose engine thread writes every outcome line.
class ExchangeWiring final : public QObject, public WindowHandlers {
    Q_OBJECT
  public:
    ExchangeWiring(WindowView& window, AppContext& context, CookieSource cookies,
                   AccountsSource accounts = {});
    ~ExchangeWiring() override;

    void exchangeClicked() override { startRun(); }
    void closing() override;

    // Starts a run from what the window shows now; false (with a line in the log) when
    // nothing was sent. With fireAt the run gets ready now (requests built, connections
    // opened) and sends at that instant. Window's thread only.
    bool startRun(mall::RunOptions options = {});
    // The ids of the ticked items, in catalogue order.
    std::vector<std::string> tickedItems() const;
    mall::ExchangeController& controller() { return controller_; }
    // Accounts whose session the armed timer found ended: the next run goes without them.
    // Any thread.
    void leaveOut(std::set<std::string> names) {
        std::lock_guard lock(leftOutMutex_);
        leftOut_ = std::move(names);
    }

  signals:
    // On the window's thread, after the run's last line is in the log box.
    void runFinished();
    // Right after runFinished, for a run that exchanged or drew: the balances have moved.
    void ticketsMayHaveChanged();

  private:
    struct Win {
        std::string item;  // the catalogue id
        std::string caption;
        std::string account;  // empty: the run's one session
        std::string message;
    };
    void watchForWins(mall::RunOptions& options);
    void announceWin(int run, const Win& win);

    bool startWith(mall::RunOptions options);
    std::vector<mall::RunAccount> runAccounts();

    WindowView& window_;
    CookieSource cookies_;
    AccountsSource accounts_;
    mutable std::mutex leftOutMutex_;
    std::set<std::string> leftOut_;
    Notifier* notifier_;
    bool notifyWins_;
    int runNumber_ = 0;
    int announcedRun_ = 0;
    std::set<std::pair<std::string, std::string>> announced_;  // (item, account) told this run
    RunAlertHooks alerts_;
    mall::ExchangeController controller_;
};

// The timer group "定时系统".
class TimerWiring final : public QObject, public WindowHandlers {
    Q_OBJECT
  public:
    TimerWiring(WindowView& window, AppContext& context, ExchangeWiring& exchange,
                const RunWiringOptions& options);
    ~TimerWiring() override;

    void timeFieldEdited(TimeField field) override;
    void armTimerClicked() override;
    void countdownTicked() override;
    void closing() override;

    bool armed() const { return redemption_.armed(); }

  signals:
    // On the window's thread, once the armed time has come and its run has been started.
    void fired();

  private:
    schedule::TimerHooks hooks();
    void prepare(Clock::WallTime instant);  // on the window's thread, at instant − lead
    void wakeUp();                          // on the window's thread, at the instant
    void follow(Clock::WallTime instant);   // on the window's thread, when the aim came late
    void refuse(const std::string& line);   // on the window's thread, the set second passed
    void show(const schedule::TimerDisplay& display);
    void setCountdownRunning(bool on);
    std::optional<TimeField> emptyField() const;
    bool refuseOutOfRange() const;
    bool fieldsAsArmed() const;
    std::string armedCaption() const;
    void cancelPrepared();

    WindowView& window_;
    AppContext& context_;
    ExchangeWiring& exchange_;
    std::array<std::string, 3> armedTexts_;  // the fields as the latest arming wrote them
    std::string armedAt_;                    // the armed time as 12:00:00
    CookieSource cookies_;
    AccountsSource accounts_;
    SessionProbe probe_;
    int periodMs_;
    std::mutex mutex_;
    std::string armedCookies_;  // what the session check of the latest arming asks with
    std::vector<mall::RunAccount> armedAccounts_;  // the same, where the run has several
    // The latest aim's frame: the run's picture counts from the opening it aimed at.
    std::optional<mall::TimelineFrame> aimedFrame_;
    schedule::SessionState checkSessions();
    // Whether this arming's run went to the engine ahead of the instant (Waiting), was refused
    // then with a line of its own (Refused), or is still to start at the instant (No).
    enum class Prepared { No, Waiting, Refused };
    Prepared prepared_ = Prepared::No;
    schedule::TimedRedemption redemption_;  // last: its threads end before the rest goes
};

// The update check, once at start, on a thread of its own. Its question is shown on the
// window's thread while the check waits for the answer.
class UpdateCheckWiring final : public QObject, public WindowHandlers {
    Q_OBJECT
  public:
    UpdateCheckWiring(AppContext& context, PageFetch fetch, bool enabled);
    ~UpdateCheckWiring() override;  // waits for the check (bounded by the request time-outs)

    void started() override;
    void closing() override;  // a question not yet shown is never shown

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
class MusicWiring final : public WindowHandlers {
  public:
    explicit MusicWiring(music::MusicOptions options) : options_(std::move(options)) {}

    void started() override;
    void stopMusicClicked() override;
    void closing() override { music_.reset(); }

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

// Adds the four controllers to the window (owned by it); call before MainWindow::start().
RunControllers addRunControllers(WindowView& window, AppContext& context,
                                 const RunWiringOptions& options);

}  // namespace vellicor::app
