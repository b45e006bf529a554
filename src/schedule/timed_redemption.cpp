#include "schedule/timed_redemption.h"

namespace vellicor::schedule {
namespace {

std::size_t indexOf(Field field) {
    switch (field) {
        case Field::Hour:
            return 0;
        case Field::Minute:
            return 1;
        case Field::Second:
            break;
    }
    return 2;
}

std::string twoDigits(int value) {
    return value < 10 ? "0" + std::to_string(value) : std::to_string(value);
}

TimerDisplay idleDisplay() {
    return {kNotArmedText, kRemainingCaption, Countdown{}};
}

}  // namespace

std::string armingLine(TimeOfDay time) {
    return "启动定时程序, " + formatTimeOfDay(time) + " 执行兑换\r\n";
}

TimedRedemption::TimedRedemption(const Clock& clock, TimerHooks hooks)
    : TimedRedemption(clock, std::move(hooks), Scheduler::Options{}) {}

TimedRedemption::TimedRedemption(const Clock& clock, TimerHooks hooks, Scheduler::Options options)
    : clock_(clock),
      hooks_(std::move(hooks)),
      fields_{TimeField(Field::Hour, "11"), TimeField(Field::Minute, "59"),
              TimeField(Field::Second, "59")},
      scheduler_(clock, std::move(options)) {}

TimedRedemption::~TimedRedemption() {
    scheduler_.disarm();
    std::vector<Check> checks;
    {
        std::lock_guard lock(mutex_);
        armingStop_.request_stop();
        checks.swap(checks_);
    }
    for (auto& check : checks) {
        check.thread.join();
    }
}

TimeField& TimedRedemption::fieldFor(Field field) {
    return fields_[indexOf(field)];
}

const TimeField& TimedRedemption::timeField(Field field) const {
    return fields_[indexOf(field)];
}

FieldChange TimedRedemption::fieldEdited(Field field, std::string_view text) {
    return fieldFor(field).edited(text);
}

TimeOfDay TimedRedemption::fieldTime() const {
    return {fields_[0].value(), fields_[1].value(), fields_[2].value()};
}

ArmOutcome TimedRedemption::arm() {
    return arm(fieldTime());
}

ArmOutcome TimedRedemption::arm(TimeOfDay time) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const int value = i == 0 ? time.hour : i == 1 ? time.minute : time.second;
        if (fields_[i].value() != value) {
            (void)fields_[i].edited(twoDigits(value));
        }
    }
    ArmOutcome out;
    out.time = time;
    // The day is fixed here: an estimate that answers after the set second is told so, and
    // never moves the run to the next day.
    out.instant = nextOccurrence(out.time, clock_);
    {
        std::lock_guard lock(mutex_);
        armedTime_ = out.time;
        armingStop_.request_stop();
        armingStop_ = std::stop_source();
        firstOnMallClock_ = false;
    }
    Scheduler::Callback prepare;
    if (hooks_.prepareRun) {
        prepare = [this](Clock::WallTime instant) { hooks_.prepareRun(instant); };
    }
    scheduler_.arm(out.instant, std::move(prepare), [this](Clock::WallTime) {
        if (hooks_.startRun) {
            hooks_.startRun();
        }
    });
    // The fields show what was armed, an empty one as "00".
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const int value = fields_[i].value();
        out.fieldTexts[i] = fields_[i].text().empty() ? twoDigits(value) : fields_[i].text();
        (void)fields_[i].edited(out.fieldTexts[i]);
    }
    if (hooks_.log) {
        hooks_.log(armingLine(out.time));
    }
    startSessionCheck();
    startClockCheck(out.time, out.instant);
    out.display = display();
    return out;
}

void TimedRedemption::startSessionCheck() {
    if (!hooks_.sessionCheck) {
        return;
    }
    startBackground([this] { hooks_.sessionCheck(); });
}

// The set time read on the mall's clock. An answer that comes after a newer arming is
// dropped: that arming asked again.
void TimedRedemption::startClockCheck(TimeOfDay time, Clock::WallTime opening) {
    if (!hooks_.aimAt) {
        return;
    }
    const auto generation = ++armings_;
    startBackground([this, time, opening, generation] {
        if (const auto aimed = hooks_.aimAt(time, opening)) {
            applyAim(*aimed, generation, false);
        }
    });
    if (opening - clock_.wallNow() > kAimAgainIfAhead) {
        startAimAgain(time, opening);
    }
}

// Shortly before the instant the mall's clock is read again, in the time that is left then.
void TimedRedemption::startAimAgain(TimeOfDay time, Clock::WallTime opening) {
    const auto generation = armings_.load();
    std::stop_token stop;
    {
        std::lock_guard lock(mutex_);
        stop = armingStop_.get_token();
    }
    startBackground([this, time, opening, generation, stop] {
        if (!waitForWall(opening - kAimAgainBefore, stop) || armings_.load() != generation) {
            return;
        }
        if (const auto aimed = hooks_.aimAt(time, opening)) {
            applyAim(*aimed, generation, true);
        }
    });
}

// Waits in slices on the wall clock, so that a clock set meanwhile is followed. False when
// the arming was called off first.
bool TimedRedemption::waitForWall(Clock::WallTime until, const std::stop_token& stop) const {
    constexpr auto kSlice = std::chrono::seconds(1);
    while (!stop.stop_requested()) {
        const auto left = until - clock_.wallNow();
        if (left <= Clock::WallTime::duration::zero()) {
            return true;
        }
        const auto step = std::min<std::chrono::nanoseconds>(left, kSlice);
        clock_.sleepUntilOrStop(clock_.steadyNow() + step, stop);
    }
    return false;
}

void TimedRedemption::applyAim(const AimedInstant& aimed, unsigned generation, bool again) {
    bool keepFirst = false;
    {
        std::lock_guard lock(mutex_);
        if (armings_.load() != generation || armingStop_.stop_requested()) {
            return;  // armed anew or called off meanwhile
        }
        // A second reading that failed leaves the first one in force.
        keepFirst = again && firstOnMallClock_ && !aimed.onMallClock;
        if (!again) {
            firstOnMallClock_ = aimed.onMallClock;
        }
    }
    const auto say = [this](const std::string& line) {
        if (hooks_.log) {
            hooks_.log(line);
        }
    };
    if (!scheduler_.armed()) {
        return;  // fired meanwhile on the computer's clock, which the firing said
    }
    if (aimed.passed) {
        scheduler_.disarm();
        say(aimed.line);
        if (hooks_.refused) {
            hooks_.refused(aimed.line);
        }
        return;
    }
    if (keepFirst) {
        say(aimed.line);
        say(kAimAgainFailedLine);
        return;
    }
    say(aimed.line);
    scheduler_.retarget(aimed.instant);
    if (hooks_.moved) {
        hooks_.moved(aimed.instant);
    }
}

void TimedRedemption::startBackground(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    std::erase_if(checks_, [](Check& check) {
        if (!*check.done) {
            return false;
        }
        check.thread.join();
        return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    checks_.push_back({done, std::thread([work = std::move(work), done] {
                           work();
                           *done = true;
                       })});
}

void TimedRedemption::disarm() {
    scheduler_.disarm();
    std::lock_guard lock(mutex_);
    armingStop_.request_stop();
}

bool TimedRedemption::armed() const {
    return scheduler_.armed();
}

TimerDisplay TimedRedemption::display() const {
    if (!scheduler_.armed()) {
        return idleDisplay();
    }
    TimeOfDay set;
    {
        std::lock_guard lock(mutex_);
        set = armedTime_;
    }
    const Countdown c = countdown(set, beijingTimeOfDay(clock_.wallNow()));
    return {kArmedText, countdownText(c), c};
}

}  // namespace vellicor::schedule
