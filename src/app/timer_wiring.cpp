#include <algorithm>
#include <optional>
#include <utility>

#include <QToolTip>

#include "alert/alerter.h"
#include "app/fit_text.h"
#include "app/run_wiring.h"
#include "app/window_view.h"
#include "mall/aim.h"
#include "mall/balances.h"
#include "mall/clock_sync.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/process_bar.h"
#include "platform/qt/timer.h"

namespace vellicor::app {
namespace {

constexpr TimeField kFields[] = {TimeField::Hour, TimeField::Minute, TimeField::Second};

schedule::Field coreField(TimeField field) {
    switch (field) {
        case TimeField::Hour:
            return schedule::Field::Hour;
        case TimeField::Minute:
            return schedule::Field::Minute;
        case TimeField::Second:
            break;
    }
    return schedule::Field::Second;
}

}  // namespace

schedule::SessionState probeSession(const Config& config, const std::string& cookies) {
    const auto balances = mall::readBalances(config, cookies);
    if (balances.ok()) {
        return schedule::SessionState::LoggedIn;
    }
    // No cookie string, a redirect to the login or a "please log in" page all mean the same
    // to the user: the opening would be missed for want of a login.
    const ErrorCode code = balances.error().code;
    if (code == ErrorCode::BadInput || code == ErrorCode::Parse) {
        return schedule::SessionState::LoggedOut;
    }
    return schedule::SessionState::Unreachable;
}

TimerWiring::TimerWiring(WindowView& window, AppContext& context, ExchangeWiring& exchange,
                         const RunWiringOptions& options)
    : window_(window),
      context_(context),
      exchange_(exchange),
      cookies_(options.cookies),
      accounts_(options.accounts),
      probe_(options.sessionProbe),
      periodMs_(options.countdownPeriodMs > 0 ? options.countdownPeriodMs : 200),
      redemption_(*context.clock, hooks(), options.scheduler) {}

schedule::TimerHooks TimerWiring::hooks() {
    schedule::TimerHooks out;
    // The wake-up comes on the scheduler's thread at the set instant; the run reads the
    // controls, so it starts on the window's thread.
    out.startRun = [this] {
        QMetaObject::invokeMethod(
            this, [this] { wakeUp(); }, Qt::QueuedConnection);
    };
    // A lead before the instant the run is handed to the engine, which builds its requests,
    // opens its connections and then writes them at the instant itself.
    out.prepareRun = [this](Clock::WallTime instant) {
        QMetaObject::invokeMethod(
            this, [this, instant] { prepare(instant); }, Qt::QueuedConnection);
    };
    out.sessionCheck = [this] { return checkSessions(); };
    // The set time is the mall's, and what counts is when a request reaches it: the armed
    // instant moves to the send time that lands the first request just after the opening.
    out.aimAt = [this](schedule::TimeOfDay,
                       Clock::WallTime opening) -> std::optional<schedule::AimedInstant> {
        mall::FiringAim aim = mall::aimAtOpening(context_.config, *context_.clock, opening);
        {
            std::lock_guard lock(mutex_);
            aimedFrame_ = mall::timelineFrame(aim);
        }
        return schedule::AimedInstant{aim.sendAt, std::move(aim.line), aim.onMallClock, aim.passed};
    };
    out.refused = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            this, [this, line] { refuse(line); }, Qt::QueuedConnection);
    };
    out.moved = [this](Clock::WallTime instant) {
        QMetaObject::invokeMethod(
            this, [this, instant] { follow(instant); }, Qt::QueuedConnection);
    };
    out.log = context_.log;
    return out;
}

TimerWiring::~TimerWiring() {
    redemption_.disarm();
}

void TimerWiring::timeFieldEdited(TimeField field) {
    ui::EditBox& box = window_.timeField(field);
    const auto change = redemption_.fieldEdited(coreField(field), box.content().toStdString());
    if (change.replaceText) {
        box.setContent(QString::fromStdString(*change.replaceText));
    }
    // Said beside the field, never in a box: a box in mid-typing takes the keys that follow.
    const QString range =
        change.outOfRange
            ? QString::fromStdString(change.outOfRange->caption + "：" + change.outOfRange->text)
            : QString();
    box.setToolTip(range);
    if (range.isEmpty()) {
        QToolTip::hideText();
    } else if (box.isVisible()) {
        QToolTip::showText(box.mapToGlobal(QPoint(0, box.height())), range, &box);
    }
}

// The first field whose content is out of range, said in the box titled with its word: "定"
// would otherwise arm a time the user did not type.
bool TimerWiring::refuseOutOfRange() const {
    for (const TimeField field : kFields) {
        const auto range = redemption_.timeField(coreField(field)).outOfRange();
        if (!range) {
            continue;
        }
        if (context_.messageBox != nullptr) {
            context_.messageBox->show(range->text,
                                      mbflags::Ok | mbflags::IconWarning | mbflags::TaskModal,
                                      range->caption);
        }
        return true;
    }
    return false;
}

// An empty field would silently read as 0: "定" with nothing filled in would arm midnight.
std::optional<TimeField> TimerWiring::emptyField() const {
    for (const TimeField field : kFields) {
        if (window_.timeField(field).content().trimmed().isEmpty()) {
            return field;
        }
    }
    return std::nullopt;
}

bool TimerWiring::fieldsAsArmed() const {
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
        if (window_.timeField(kFields[i]).content().toStdString() != armedTexts_[i]) {
            return false;
        }
    }
    return true;
}

void TimerWiring::cancelPrepared() {
    // A run already waiting for the old instant must not go out at it.
    if (std::exchange(prepared_, Prepared::No) == Prepared::Waiting) {
        exchange_.controller().cancel();
    }
}

// "定" arms the fields' time; pressed again while armed with the fields as they were armed,
// it disarms; with changed fields it moves the armed time.
void TimerWiring::armTimerClicked() {
    if (const auto empty = emptyField()) {
        if (context_.messageBox != nullptr) {
            const std::string word(schedule::fieldWord(coreField(*empty)));
            context_.messageBox->show(
                "请填写" + word, mbflags::Ok | mbflags::IconWarning | mbflags::TaskModal, word);
        }
        return;
    }
    if (refuseOutOfRange()) {
        return;
    }
    cancelPrepared();
    if (redemption_.armed() && fieldsAsArmed()) {
        redemption_.disarm();
        if (context_.log) {
            context_.log("取消定时 " + armedAt_ + "，不再执行兑换\r\n");
        }
        show(redemption_.display());
        setCountdownRunning(false);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        armedCookies_ = cookies_ ? cookies_() : std::string();
        armedAccounts_ = accounts_ ? accounts_() : std::vector<mall::RunAccount>{};
        if (armedAccounts_.size() == 1) {
            armedCookies_ = armedAccounts_.front().cookies;
        }
    }
    exchange_.leaveOut({});
    const schedule::ArmOutcome outcome = redemption_.arm();
    armedTexts_ = outcome.fieldTexts;
    armedAt_ = schedule::formatTimeOfDay(outcome.time);
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
        window_.timeField(kFields[i]).setContent(QString::fromStdString(outcome.fieldTexts[i]));
    }
    show(outcome.display);
    setCountdownRunning(true);
}

// Off the window's thread. With several accounts each is asked; one whose session has ended
// is named in the log and left out of the run, and the others go on.
schedule::SessionState TimerWiring::checkSessions() {
    std::string cookies;
    std::vector<mall::RunAccount> accounts;
    {
        std::lock_guard lock(mutex_);
        cookies = armedCookies_;
        accounts = armedAccounts_;
    }
    const auto ask = [this](const std::string& c) {
        return probe_ ? probe_(c) : probeSession(context_.config, c);
    };
    if (accounts.size() < 2) {
        const schedule::SessionState state = ask(cookies);
        if (state == schedule::SessionState::LoggedOut) {
            alert::alertSessionsEnded(
                context_.alerter.get(),
                accounts.empty() ? std::vector<std::string>{} : std::vector{accounts.front().name});
        }
        return state;
    }
    std::vector<const mall::RunAccount*> ended;  // in the list's order, for the log
    std::set<std::string> names;
    schedule::SessionState worst = schedule::SessionState::LoggedIn;
    for (const auto& account : accounts) {
        const schedule::SessionState state = ask(account.cookies);
        if (state == schedule::SessionState::LoggedOut) {
            ended.push_back(&account);
            names.insert(account.name);
        } else if (state == schedule::SessionState::Unreachable) {
            worst = state;
        }
    }
    if (!names.empty()) {
        std::vector<std::string> inOrder;
        for (const auto* account : ended) {
            inOrder.push_back(account->name);
        }
        alert::alertSessionsEnded(context_.alerter.get(), inOrder);
    }
    const bool none = ended.size() == accounts.size();
    // Left out before the warnings show: a run started on seeing them goes without.
    exchange_.leaveOut(none ? std::set<std::string>{} : names);  // none left: the refusal says so
    for (const auto* account : ended) {
        if (context_.log) {
            context_.log("警告：帐号 " + account->name +
                         " 的会话已失效（商城说未登录），本次不为它兑换\r\n");
        }
    }
    return none ? schedule::SessionState::LoggedOut : worst;
}

void TimerWiring::countdownTicked() {
    show(redemption_.display());
    if (!redemption_.armed()) {
        setCountdownRunning(false);
    }
}

void TimerWiring::closing() {
    redemption_.disarm();
    setCountdownRunning(false);
}

void TimerWiring::prepare(Clock::WallTime instant) {
    const Clock& clock = *context_.clock;
    const auto untilInstant = instant - clock.wallNow();
    mall::RunOptions options;
    options.fireAt = clock.steadyNow() + std::max(untilInstant, decltype(untilInstant)::zero());
    {
        std::lock_guard lock(mutex_);
        options.timelineFrame = aimedFrame_;
    }
    // One attempt per arming: a refusal has written its line and is not repeated at the instant.
    prepared_ = exchange_.startRun(options) ? Prepared::Waiting : Prepared::Refused;
}

// The mall's clock came in after the run was handed to the engine: the engine's instant moves
// with it, or, when it is too late for that, the log says the run kept the computer's clock.
void TimerWiring::follow(Clock::WallTime instant) {
    if (prepared_ != Prepared::Waiting) {
        return;
    }
    const Clock& clock = *context_.clock;
    const auto untilInstant = instant - clock.wallNow();
    const auto fireAt = clock.steadyNow() + std::max(untilInstant, decltype(untilInstant)::zero());
    const bool followed = exchange_.controller().retime(fireAt);
    if (context_.log) {
        context_.log(followed ? "已按商城时钟调整已准备好的请求的发送时刻\r\n"
                              : schedule::kAimTooLateLine);
    }
}

// The set second had passed on the mall's clock when it was read: the timer has disarmed, and
// a run prepared for it must not go.
void TimerWiring::refuse(const std::string& line) {
    cancelPrepared();
    show(redemption_.display());
    setCountdownRunning(redemption_.armed());
    if (context_.messageBox != nullptr) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        context_.messageBox->show(text, mbflags::Ok | mbflags::IconWarning | mbflags::TaskModal,
                                  "定时");
    }
}

void TimerWiring::wakeUp() {
    // A run prepared for this instant is already sending; otherwise (no lead, or the
    // preparation was refused) it starts now.
    if (std::exchange(prepared_, Prepared::No) == Prepared::No) {
        exchange_.startRun();
    }
    // The timer does not stay armed for the next day: the group shows it idle again, unless
    // "定" was pressed anew while this wake-up was on its way.
    show(redemption_.display());
    setCountdownRunning(redemption_.armed());
    emit fired();
}

void TimerWiring::show(const schedule::TimerDisplay& display) {
    // The label has room for its state alone; the armed time and what a second press does
    // are its tooltip (and the fields show the armed time).
    const bool armed = display.stateText == schedule::kArmedText && redemption_.armed();
    ui::Label& state = window_.timerState();
    state.setCaption(QString::fromStdString(display.stateText));
    fitCaption(state);
    state.setToolTip(armed ? QString::fromStdString(armedCaption()) : QString());
    window_.timeRemaining().setCaption(QString::fromStdString(display.countdownText));
    fitCaption(window_.timeRemaining());
    const int positions[] = {display.countdown.hourBar, display.countdown.minuteBar,
                             display.countdown.secondBar};
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
        window_.timeBar(kFields[i]).setPosition(positions[i]);
    }
}

std::string TimerWiring::armedCaption() const {
    return std::string(schedule::kArmedText) + " " + armedAt_ + "，再按“定”取消";
}

void TimerWiring::setCountdownRunning(bool on) {
    window_.countdown().setPeriod(on ? periodMs_ : 0);
}

}  // namespace vellicor::app
