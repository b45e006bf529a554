#include "app/log_relay.h"

#include <QThread>

#include "app/log_file.h"
#include "platform/qt/edit_box.h"

namespace vellicor::app {
namespace {

// About a few milliseconds of the box's work.
constexpr std::size_t kSliceTexts = 200;

// A text no log line can be: it stands for a call in the queue.
bool isMarker(const std::string& text) {
    return !text.empty() && text.front() == '\0';
}

}  // namespace

LogRelay::LogRelay(ui::EditBox* box, LogFile* file, std::size_t keep)
    : box_(box), file_(file), owner_(box->thread()), keep_(keep), lines_([this] { wake(); }) {}

void LogRelay::append(const std::string& text) {
    lines_.append(text);
    if (QThread::currentThread() == owner_) {
        // Lines the workers queued before this one go in first.
        drain();
    }
}

void LogRelay::afterShown(std::function<void()> then) {
    std::string marker(1, '\0');
    {
        std::lock_guard lock(callsMutex_);
        calls_[nextCall_] = std::move(then);
        marker += std::to_string(nextCall_++);
    }
    append(marker);
}

void LogRelay::runMarker(const std::string& marker) {
    std::function<void()> call;
    {
        std::lock_guard lock(callsMutex_);
        const auto it = calls_.find(std::stoull(marker.substr(1)));
        if (it == calls_.end()) {
            return;
        }
        call = std::move(it->second);
        calls_.erase(it);
    }
    call();
}

void LogRelay::flush() {
    drain();
}

void LogRelay::detach() {
    lines_.detach();
    backlog_.clear();
    std::lock_guard lock(callsMutex_);
    calls_.clear();
}

// Runs on the appending thread; the box is alive until detach() returns.
void LogRelay::wake() {
    QMetaObject::invokeMethod(
        box_, [this] { drain(); }, Qt::QueuedConnection);
}

void LogRelay::drain() {
    std::string burst;
    lines_.drain([&](const std::string& text) {
        if (!isMarker(text)) {
            burst += text;
        }
        backlog_.push_back(text);
    });
    if (!burst.empty() && file_ != nullptr) {
        file_->append(std::move(burst));
    }
    // What would scroll out of the box at once is left out; a call among it is due.
    while (keep_ > 0 && backlog_.size() > keep_) {
        const std::string dropped = std::move(backlog_.front());
        backlog_.pop_front();
        if (isMarker(dropped)) {
            runMarker(dropped);
        }
    }
    if (!slicePosted_) {
        putSlice();
    }
}

void LogRelay::putSlice() {
    slicePosted_ = false;
    if (lines_.detached()) {
        return;
    }
    QString slice;
    for (std::size_t i = 0; i < kSliceTexts && !backlog_.empty(); ++i) {
        const std::string text = std::move(backlog_.front());
        backlog_.pop_front();
        if (!isMarker(text)) {
            slice += QString::fromStdString(text);
            continue;
        }
        if (!slice.isEmpty()) {
            box_->append(slice);
            slice.clear();
        }
        runMarker(text);
        if (lines_.detached()) {
            return;  // the call closed the window
        }
    }
    if (!slice.isEmpty()) {
        box_->append(slice);
    }
    if (!backlog_.empty()) {
        slicePosted_ = true;
        QMetaObject::invokeMethod(
            box_, [this] { putSlice(); }, Qt::QueuedConnection);
    }
}

}  // namespace vellicor::app
