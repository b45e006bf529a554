#include "platform/qt/process_bar.h"

#include <algorithm>

namespace vellicor::ui {
namespace {

int clampStored(int value) {
    return std::clamp(value, 0, ProcessBar::kLimit);
}

}  // namespace

ProcessBar::ProcessBar(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    setOrientation(Qt::Vertical);
    refresh();
}

void ProcessBar::setMinimumValue(int value) {
    min_ = clampStored(value);
    refresh();
}

void ProcessBar::setMaximumValue(int value) {
    max_ = clampStored(value);
    refresh();
}

void ProcessBar::setPosition(int value) {
    pos_ = clampStored(value);
    refresh();
}

void ProcessBar::setVertical(bool on) {
    setOrientation(on ? Qt::Vertical : Qt::Horizontal);
}

void ProcessBar::refresh() {
    const int low = std::min(min_, max_);
    const int high = std::max(min_, max_);
    const int shown = std::clamp(pos_, low, high);
    if (low == high) {
        // Qt draws an empty range as a busy indicator; an empty range here is simply full
        // when it lies above zero, and empty at zero.
        setRange(0, 1);
        setValue(high > 0 ? 1 : 0);
        return;
    }
    setRange(low, high);
    setValue(shown);
}

}  // namespace vellicor::ui
