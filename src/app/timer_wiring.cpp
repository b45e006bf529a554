#include <algorithm>
#include <optional>
#include <utility>

#include <QToolTip>

#include "app/fit_text.h"
#include "app/run_wiring.h"
#include "app/window_view.h"
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

TimerWiring::TimerWiring(WindowView& window, AppContext& context, ExchangeWiring& exchange,
                         const RunWiringOptions& options)
    : window_(window),
      context_(context),
      exchange_(exchange),
      periodMs_(options.countdownPeriodMs > 0 ? options.countdownPeriodMs : 200) {
    connect(&exchange, &ExchangeWiring::timerFired, this, [this] { wokeUp(); });
    connect(&exchange, &ExchangeWiring::armingRefused, this,
            [this](const QString& line) { refuse(line); });
}

TimerWiring::~TimerWiring() = default;

void TimerWiring::timeFieldEdited(TimeField field) {
    ui::EditBox& box = window_.timeField(field);
    const auto change = timer().fieldEdited(coreField(field), box.content().toStdString());
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
        const auto range = timer().timeField(coreField(field)).outOfRange();
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
    run::TimedRun& run = exchange_.run();
    if (run.armed() && fieldsAsArmed()) {
        run.disarm();
        if (context_.log) {
            context_.log("取消定时 " + armedAt_ + "，不再执行兑换\r\n");
        }
        show(timer().display());
        setCountdownRunning(false);
        return;
    }
    const schedule::ArmOutcome outcome = run.arm();
    armedTexts_ = outcome.fieldTexts;
    armedAt_ = schedule::formatTimeOfDay(outcome.time);
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
        window_.timeField(kFields[i]).setContent(QString::fromStdString(outcome.fieldTexts[i]));
    }
    show(outcome.display);
    setCountdownRunning(true);
}

void TimerWiring::countdownTicked() {
    show(timer().display());
    if (!timer().armed()) {
        setCountdownRunning(false);
    }
}

void TimerWiring::closing() {
    exchange_.run().disarm();
    setCountdownRunning(false);
}

// The set second had passed on the mall's clock when it was read, or no session is left: the
// timer has disarmed, and a run prepared for it will not go.
void TimerWiring::refuse(const QString& line) {
    show(timer().display());
    setCountdownRunning(timer().armed());
    if (context_.messageBox != nullptr) {
        std::string text = line.toStdString();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        context_.messageBox->show(text, mbflags::Ok | mbflags::IconWarning | mbflags::TaskModal,
                                  "定时");
    }
}

// The timer does not stay armed for the next day: the group shows it idle again, unless "定"
// was pressed anew while this wake-up was on its way.
void TimerWiring::wokeUp() {
    show(timer().display());
    setCountdownRunning(timer().armed());
    emit fired();
}

void TimerWiring::show(const schedule::TimerDisplay& display) {
    // The label has room for its state alone; the armed time and what a second press does
    // are its tooltip (and the fields show the armed time).
    const bool armed = display.stateText == schedule::kArmedText && timer().armed();
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
