#include "run/timed_run.h"

#include <algorithm>

#include "alert/alerter.h"
#include "mall/send_way.h"
#include "mall/timeline.h"
#include "web/proxy_setting.h"

namespace vellicor::run {
namespace {

using Key = std::pair<std::string, std::string>;

Key keyOf(const web::Account& account) {
    return {account.name, account.cookies};
}

}  // namespace

std::string sessionEndedLine(const std::string& account) {
    return "警告：帐号 " + account + " 的会话已失效（商城说未登录），本次不为它兑换\r\n";
}

Status checkBeforeSending(const Config& config, const std::vector<web::Account>& accounts) {
    const char* shape = "的代理地址无法解析（应为 [user:password@]host:port），本次未发送请求";
    if (!config.http.proxy.empty() && !web::parseProxy(config.http.proxy)) {
        return makeError(ErrorCode::BadInput, std::string("配置项 http.proxy ") + shape);
    }
    for (const web::Account& account : accounts) {
        if (!account.proxy.empty() && !web::parseProxy(account.proxy)) {
            return makeError(ErrorCode::BadInput, "帐号 " + account.name + " " + shape);
        }
    }
    return Ok{};
}

schedule::Scheduler::Options schedulerOptions(const Config& config) {
    schedule::Scheduler::Options options;
    options.lead = std::chrono::milliseconds(config.timer.preopenLeadMs + 1000);
    return options;
}

TimedRun::TimedRun(TimedRunSetup setup, TimedRunHooks hooks)
    : setup_(std::move(setup)),
      hooks_(std::move(hooks)),
      controller_(setup_.config, *setup_.clock, setup_.log),
      timer_(*setup_.clock, timerHooks(), setup_.scheduler) {
    controller_.setOnFinished([this](const mall::RunSummary& summary) {
        std::shared_ptr<alert::RunAlerts> alerts;
        bool timed = false;
        {
            std::lock_guard lock(mutex_);
            alerts = std::exchange(alerts_, nullptr);
            timed = std::exchange(timedRun_, false);
        }
        // A timed run stopped before it sent anything (disarmed, the window closed) ended no
        // sale.
        if (alerts && timed && !(summary.cancelled && summary.sends == 0)) {
            alerts->ended(mall::summaryLine(summary));
        }
        if (hooks_.finished) {
            hooks_.finished(summary);
        }
        ended({RunEnd::Kind::Finished, summary, {}});
    });
}

TimedRun::~TimedRun() {
    timer_.disarm();
    controller_.cancel();
    controller_.wait();
}

schedule::TimerHooks TimedRun::timerHooks() {
    schedule::TimerHooks out;
    // Each answer carries the arming it belongs to: one that comes after a newer arming (or a
    // disarm) is dropped.
    const auto current = [this] {
        std::lock_guard lock(mutex_);
        return arming_;
    };
    out.sessionCheck = [this, current] { checkArmedSessions(current()); };
    out.aimAt = [this, current](schedule::TimeOfDay, Clock::WallTime opening) {
        return aimAt(opening, current());
    };
    out.prepareRun = [this, current](Clock::WallTime instant) {
        post([this, instant, arming = current()] { prepare(instant, arming); });
    };
    out.startRun = [this, current] { post([this, arming = current()] { wakeUp(arming); }); };
    out.moved = [this, current](Clock::WallTime) {
        post([this, arming = current()] { follow(arming); });
    };
    out.refused = [this, current](const std::string& line) {
        post([this, line, arming = current()] { refuse(line, arming); });
    };
    out.log = setup_.log;
    return out;
}

void TimedRun::post(std::function<void()> work) {
    if (setup_.post) {
        setup_.post(std::move(work));
    } else {
        work();
    }
}

void TimedRun::say(const std::string& line) const {
    if (setup_.log) {
        setup_.log(line);
    }
}

mall::SessionState TimedRun::ask(const web::Account& account) const {
    return setup_.sessionCheck ? setup_.sessionCheck(account)
                               : mall::checkSession(setup_.config, account);
}

// The one rule: each account is asked; those whose session has ended are left out. What
// cannot be asked stays in: the mall may be busy, not the session over.
TimedRun::Verdict TimedRun::judge(const std::vector<web::Account>& accounts) const {
    Verdict verdict;
    for (const web::Account& account : accounts) {
        const mall::SessionState state = ask(account);
        if (state == mall::SessionState::LoggedOut) {
            verdict.ended.push_back(account);
            continue;
        }
        verdict.unknown = verdict.unknown || state == mall::SessionState::Unknown;
        verdict.kept.push_back(account);
    }
    return verdict;
}

// The ended accounts are named (with several) and alerted once together.
void TimedRun::tell(const Verdict& verdict) const {
    const std::size_t asked = verdict.kept.size() + verdict.ended.size();
    std::vector<std::string> names;
    for (const web::Account& account : verdict.ended) {
        if (asked > 1) {
            say(sessionEndedLine(account.name));
        }
        if (!account.name.empty()) {
            names.push_back(account.name);
        }
    }
    if (!verdict.ended.empty()) {
        alert::alertSessionsEnded(setup_.alerter.get(), names);
    }
    if (verdict.kept.empty() && asked > 0 && !setup_.refuseWithoutSession) {
        say(kSessionsEndedLine);
    } else if (verdict.unknown) {
        say(kSessionUnknownLine);
    }
}

bool TimedRun::runNow(bool checkSessions) {
    const RunInput input = hooks_.input ? hooks_.input() : RunInput{};
    {
        std::lock_guard lock(mutex_);
        end_.reset();
    }
    std::vector<web::Account> accounts = stillIn(input.accounts);
    // One account's run goes at once: the mall's answers will say what a check would, and the
    // check would cost the round trip that decides who is first.
    if (checkSessions && accounts.size() > 1) {
        const Verdict verdict = judge(accounts);
        tell(verdict);
        accounts = verdict.kept;
    }
    if (accounts.empty() && !input.accounts.empty()) {
        return refuseForNoSession();
    }
    return startEngine(input, std::move(accounts), {}, false);
}

// Found ended at arming and not logged in again since: no use sending for them.
std::vector<web::Account> TimedRun::stillIn(std::vector<web::Account> accounts) const {
    std::lock_guard lock(mutex_);
    std::erase_if(accounts, [this](const web::Account& a) { return leftOut_.contains(keyOf(a)); });
    return accounts;
}

bool TimedRun::refuseForNoSession() {
    say(kNoSessionLine);
    ended({RunEnd::Kind::Refused, std::nullopt, kNoSessionLine});
    return false;
}

schedule::ArmOutcome TimedRun::arm() {
    return armWith([this] { return timer_.arm(); });
}

schedule::ArmOutcome TimedRun::arm(schedule::TimeOfDay time) {
    return armWith([this, time] { return timer_.arm(time); });
}

schedule::ArmOutcome TimedRun::armWith(const std::function<schedule::ArmOutcome()>& arming) {
    std::vector<web::Account> accounts =
        hooks_.input ? hooks_.input().accounts : std::vector<web::Account>{};
    cancelPrepared();
    {
        std::lock_guard lock(mutex_);
        ++arming_;
        armedAccounts_ = std::move(accounts);
        leftOut_.clear();
        checking_ = true;
        preparePending_ = false;
        aim_.reset();
        end_.reset();
    }
    return arming();
}

void TimedRun::disarm() {
    timer_.disarm();
    cancelPrepared();
    std::lock_guard lock(mutex_);
    ++arming_;
    checking_ = false;
    preparePending_ = false;
}

// Off the front end's thread, once per arming. What the check found is in force before it is
// said: a run prepared on seeing the warnings goes without the accounts they name.
void TimedRun::checkArmedSessions(unsigned arming) {
    std::vector<web::Account> accounts;
    {
        std::lock_guard lock(mutex_);
        if (arming != arming_) {
            return;
        }
        accounts = armedAccounts_;
    }
    const Verdict verdict = judge(accounts);
    const bool noneLeft = verdict.kept.empty() && !accounts.empty();
    if (noneLeft && setup_.refuseWithoutSession) {
        timer_.disarm();
    }
    bool prepareNow = false;
    Clock::WallTime instant{};
    {
        std::lock_guard lock(mutex_);
        if (arming != arming_) {
            return;
        }
        for (const web::Account& account : verdict.ended) {
            leftOut_.insert(keyOf(account));
        }
        checking_ = false;
        prepareNow = std::exchange(preparePending_, false);
        instant = pendingInstant_;
    }
    tell(verdict);
    if (noneLeft && setup_.refuseWithoutSession) {
        say(kNoSessionLine);
        post([this, arming] { refuse(kNoSessionLine, arming); });
        return;
    }
    if (prepareNow) {
        post([this, instant, arming] { prepare(instant, arming); });
    }
}

// The set time is the mall's, and what counts is when a request reaches it: the armed instant
// moves to the send time that lands the first request just after the opening. A second
// reading that failed leaves the first one in force.
std::optional<schedule::AimedInstant> TimedRun::aimAt(Clock::WallTime opening, unsigned arming) {
    std::vector<web::Account> accounts;
    {
        std::lock_guard lock(mutex_);
        accounts = armedAccounts_;
    }
    mall::FiringAim aim =
        mall::aimAtOpening(mall::probeConfig(setup_.config, accounts), *setup_.clock, opening);
    {
        std::lock_guard lock(mutex_);
        if (arming == arming_ && (!aim_ || !aim_->onMallClock || aim.onMallClock)) {
            aim_ = aim;
        }
    }
    return schedule::AimedInstant{aim.sendAt, std::move(aim.line), aim.onMallClock, aim.passed};
}

// On the front end's thread, a lead before the instant: the run goes to the engine, which
// builds its requests, opens its connections and writes them at the aim's fire time itself.
void TimedRun::prepare(Clock::WallTime instant, unsigned arming) {
    const RunInput input = hooks_.input ? hooks_.input() : RunInput{};
    const std::vector<web::Account> accounts = stillIn(input.accounts);
    mall::RunOptions options;
    {
        std::lock_guard lock(mutex_);
        if (arming != arming_ || prepared_ != Prepared::No) {
            return;
        }
        if (checking_) {
            preparePending_ = true;  // the check prepares once it has its answer
            pendingInstant_ = instant;
            return;
        }
        const Clock& clock = *setup_.clock;
        if (aim_) {
            options.fireAt = aim_->fireAt;
            options.timelineFrame = mall::timelineFrame(*aim_);
        } else {
            const auto left = std::max(instant - clock.wallNow(), Clock::WallTime::duration{});
            options.fireAt = clock.steadyNow() + left;
            mall::TimelineFrame frame;
            frame.opening = instant;  // on the computer's clock, as the frame says
            options.timelineFrame = frame;
        }
    }
    if (accounts.empty() && !input.accounts.empty()) {
        refuseForNoSession();
        std::lock_guard lock(mutex_);
        prepared_ = Prepared::Refused;
        return;
    }
    const bool started = startEngine(input, accounts, std::move(options), true);
    std::lock_guard lock(mutex_);
    prepared_ = started ? Prepared::Waiting : Prepared::Refused;
}

// The mall's clock came in after the run went to the engine: the engine's instant moves with
// it, or, when it is too late for that, the log says the run kept the computer's clock.
void TimedRun::follow(unsigned arming) {
    Clock::Steady fireAt;
    {
        std::lock_guard lock(mutex_);
        if (arming != arming_ || prepared_ != Prepared::Waiting || !aim_) {
            return;
        }
        fireAt = aim_->fireAt;
    }
    say(controller_.retime(fireAt) ? kRetimedLine : schedule::kAimTooLateLine);
}

// At the instant. A run prepared for it is already sending; otherwise (no lead, a refused
// preparation, a session check that never answered) it starts now. The timer does not stay
// armed for the next day.
void TimedRun::wakeUp(unsigned arming) {
    Prepared prepared = Prepared::No;
    bool aimed = false;
    {
        std::lock_guard lock(mutex_);
        if (arming != arming_) {
            return;
        }
        prepared = std::exchange(prepared_, Prepared::No);
        checking_ = false;
        preparePending_ = false;
        aimed = aim_.has_value();
    }
    // The mall's clock was asked for but has not answered: the run goes by the computer's.
    if (!aimed && setup_.config.timer.useServerClock) {
        say(schedule::kAimTooLateLine);
    }
    if (prepared == Prepared::No) {
        const RunInput input = hooks_.input ? hooks_.input() : RunInput{};
        std::vector<web::Account> accounts = stillIn(input.accounts);
        if (accounts.empty() && !input.accounts.empty()) {
            refuseForNoSession();
        } else {
            startEngine(input, std::move(accounts), {}, true);
        }
    }  // a preparation refused has said why and how it ended
    if (hooks_.fired) {
        hooks_.fired();
    }
}

// The arming was refused after the fact: a run prepared for it must not go.
void TimedRun::refuse(const std::string& line, unsigned arming) {
    {
        std::lock_guard lock(mutex_);
        if (arming != arming_) {
            return;
        }
    }
    cancelPrepared();
    if (hooks_.refused) {
        hooks_.refused(line);
    }
    ended({RunEnd::Kind::Refused, std::nullopt, line});
}

void TimedRun::cancelPrepared() {
    bool waiting = false;
    {
        std::lock_guard lock(mutex_);
        waiting = std::exchange(prepared_, Prepared::No) == Prepared::Waiting;
    }
    if (waiting) {
        controller_.cancel();
    }
}

// The wins and the first throttling go out as alerts while the run goes on; the front end
// sees every outcome too.
bool TimedRun::startEngine(const RunInput& input, std::vector<web::Account> accounts,
                           mall::RunOptions options, bool timed) {
    auto alerts = std::make_shared<alert::RunAlerts>(setup_.alerter);
    options.onOutcome = [alerts, outcome = hooks_.outcome](const mall::Item& item,
                                                           const mall::Outcome& o,
                                                           const std::string& account) {
        if (o.kind == mall::OutcomeKind::Popup) {
            alerts->won(std::string(item.caption), account, o.message);
        }
        if (outcome) {
            outcome(item, o, account);
        }
    };
    options.onThrottled = [alerts](const mall::Item& item, const mall::Outcome& o,
                                   const std::string& account) {
        alerts->throttled(std::string(item.caption), account, o.message);
    };
    options.transport = setup_.transport;
    options.timeline = setup_.timeline;
    {
        std::lock_guard lock(mutex_);
        alerts_ = alerts;
        timedRun_ = timed;
    }
    // Set up for several, the run names its accounts even when only one is left.
    const bool named = input.accounts.size() > 1;
    if (controller_.start(input.items, input.workers, accounts, std::move(options), named)) {
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        if (alerts_ == alerts) {
            alerts_.reset();
            timedRun_ = false;
        }
    }
    ended({RunEnd::Kind::NotStarted, std::nullopt, {}});
    return false;
}

void TimedRun::stop() {
    controller_.cancel();
    controller_.wait();
}

void TimedRun::ended(RunEnd end) {
    {
        std::lock_guard lock(mutex_);
        end_ = std::move(end);
    }
    endedCv_.notify_all();
}

RunEnd TimedRun::waitForEnd() {
    std::unique_lock lock(mutex_);
    endedCv_.wait(lock, [this] { return end_.has_value(); });
    return *end_;
}

}  // namespace vellicor::run
