#pragma once
// One exchange run for both front ends, at once or at a set time. The window and the command
// line only say what to run and show what comes back; the course is here: every account's
// session checked by one rule (those ended named, alerted and left out), the mall's clock read
// at arming and again shortly before the instant, the engine armed ahead with the aim's own
// fire time, the wins, the first throttling and the end of a timed run alerted, and the summary
// (with the run's picture) handed out.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mall/aim.h"
#include "mall/balances.h"
#include "mall/exchange_controller.h"
#include "mall/exchange_run.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/services.h"
#include "schedule/timed_redemption.h"
#include "web/accounts.h"

namespace vellicor::alert {
class Alerter;
class RunAlerts;
}  // namespace vellicor::alert

namespace vellicor::run {

// What a run is made of, as the front end has it at the moment of asking.
struct RunInput {
    std::vector<std::string> items;  // catalogue ids (or the old "选择框N" names)
    std::string workers;             // the worker count as typed
    std::vector<web::Account> accounts;
};

// How a run ended, for a front end that waits for it (the command line).
struct RunEnd {
    enum class Kind {
        Finished,    // the run went; `summary` says how
        Refused,     // the arming was refused (`line`): nothing was sent
        NotStarted,  // the engine refused the run (its line is logged): nothing was sent
    };
    Kind kind = Kind::NotStarted;
    std::optional<mall::RunSummary> summary;
    std::string line;
};

struct TimedRunSetup {
    Config config;
    const Clock* clock = &SystemClock::instance();
    // Whole lines ending "\r\n", from any thread.
    LogSink log;
    std::shared_ptr<alert::Alerter> alerter;  // null: no alerts
    // Runs work on the front end's own thread, in order (the window's event loop); empty:
    // at once on the calling thread.
    std::function<void(std::function<void()>)> post;
    // Asks the mall whether an account's session holds; empty: mall::checkSession. Blocking,
    // called off the front end's thread.
    std::function<mall::SessionState(const web::Account&)> sessionCheck;
    // The engine's way to the mall; empty: the network.
    mall::TransportFactory transport;
    // The timer's wake-up; its lead is when the run goes to the engine ahead of the instant.
    schedule::Scheduler::Options scheduler;
    // Keep each run's picture (RunSummary::timeline).
    bool timeline = false;
    // The accounts cannot log in again before the instant (a command line): an arming whose
    // every session has ended is refused at once instead of waiting for a login.
    bool refuseWithoutSession = false;
};

struct TimedRunHooks {
    // What to run; on the front end's thread, at arming (for the session check) and again when
    // the run goes to the engine (the items and workers of that moment).
    std::function<RunInput()> input;
    // Every outcome as it is logged, on the engine's thread (a win's notification); must not
    // block.
    std::function<void(const mall::Item&, const mall::Outcome&, const std::string& account)>
        outcome;
    // On the engine's thread once a run has ended, after its summary lines.
    std::function<void(const mall::RunSummary&)> finished;
    // The arming was refused after the fact (the set second had passed on the mall's clock,
    // or no session is left), its line logged; on the front end's thread, the timer disarmed.
    std::function<void(const std::string& line)> refused;
    // The armed instant came and its run is on its way; on the front end's thread.
    std::function<void()> fired;
};

// The lines of the session check.
inline constexpr const char* kSessionsEndedLine =
    "尚未登录或登录已失效, 到时的兑换会失败, 请先登录\r\n";
inline constexpr const char* kSessionUnknownLine = "记录页打不开, 未能确认是否已登录\r\n";
inline constexpr const char* kNoSessionLine = "没有一个帐号的会话有效，本次未发送兑换请求\r\n";
inline constexpr const char* kRetimedLine = "已按商城时钟调整已准备好的请求的发送时刻\r\n";
std::string sessionEndedLine(const std::string& account);

// What can be found wrong before anything is sent: the configured proxy and each account's.
// The message names the field, never its value.
Status checkBeforeSending(const Config& config, const std::vector<web::Account>& accounts);

// The timer's wake-up for a configuration: the run goes to the engine ahead of the instant,
// with time to build its requests before the engine opens the connections at instant −
// `timer.preopen_lead_ms`.
schedule::Scheduler::Options schedulerOptions(const Config& config);

class TimedRun {
  public:
    TimedRun(TimedRunSetup setup, TimedRunHooks hooks);
    // Disarms, stops a run still under way and waits for it and the checks.
    ~TimedRun();
    TimedRun(const TimedRun&) = delete;
    TimedRun& operator=(const TimedRun&) = delete;

    // A run at once, from the input of this moment. With `checkSessions` and several accounts
    // every account is asked first, and those whose session has ended are left out. False
    // (with a line) when nothing was sent.
    bool runNow(bool checkSessions);

    // Arms the set time (the timer's fields, or `time`), replacing any armed time and calling
    // off a run prepared for it. Reads the input for the session check.
    schedule::ArmOutcome arm();
    schedule::ArmOutcome arm(schedule::TimeOfDay time);
    // Calls off the armed time and a run prepared for it.
    void disarm();
    bool armed() const { return timer_.armed(); }

    // The time fields and the countdown the timer group shows.
    schedule::TimedRedemption& timer() { return timer_; }
    const schedule::TimedRedemption& timer() const { return timer_; }

    // Stops a run under way; waits for it.
    void stop();
    // Blocks until the latest runNow or arming has ended, whichever way.
    RunEnd waitForEnd();
    bool busy() const { return controller_.busy(); }

  private:
    schedule::TimerHooks timerHooks();
    void post(std::function<void()> work);
    schedule::ArmOutcome armWith(const std::function<schedule::ArmOutcome()>& arming);
    mall::SessionState ask(const web::Account& account) const;
    struct Verdict {
        std::vector<web::Account> kept;
        std::vector<web::Account> ended;
        bool unknown = false;  // some session could not be asked
    };
    Verdict judge(const std::vector<web::Account>& accounts) const;
    void tell(const Verdict& verdict) const;
    std::vector<web::Account> stillIn(std::vector<web::Account> accounts) const;
    bool refuseForNoSession();
    void checkArmedSessions(unsigned arming);
    std::optional<schedule::AimedInstant> aimAt(Clock::WallTime opening, unsigned arming);
    void prepare(Clock::WallTime instant, unsigned arming);
    void follow(unsigned arming);
    void wakeUp(unsigned arming);
    void refuse(const std::string& line, unsigned arming);
    bool startEngine(const RunInput& input, std::vector<web::Account> accounts,
                     mall::RunOptions options, bool timed);
    void cancelPrepared();
    void ended(RunEnd end);
    void say(const std::string& line) const;

    TimedRunSetup setup_;
    TimedRunHooks hooks_;
    mall::ExchangeController controller_;

    mutable std::mutex mutex_;
    std::condition_variable endedCv_;
    std::optional<RunEnd> end_;  // how the latest arming or run ended, once it has
    unsigned arming_ = 0;        // which arming the answers below belong to
    std::vector<web::Account> armedAccounts_;
    // Accounts found ended at arming, by name and cookies: one logged in again is back in.
    std::set<std::pair<std::string, std::string>> leftOut_;
    bool checking_ = false;        // the arming's session check is still asking
    bool preparePending_ = false;  // the lead came during the check: prepare once it is done
    Clock::WallTime pendingInstant_{};
    std::optional<mall::FiringAim> aim_;  // the arming's aim in force
    enum class Prepared { No, Waiting, Refused };
    Prepared prepared_ = Prepared::No;
    std::shared_ptr<alert::RunAlerts> alerts_;  // the run under way's
    bool timedRun_ = false;                     // the run under way was armed

    schedule::TimedRedemption timer_;  // last: its threads end before the rest goes
};

}  // namespace vellicor::run
