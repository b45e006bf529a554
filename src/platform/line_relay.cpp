#include "platform/line_relay.h"

#include <utility>

namespace vellicor {

LineRelay::LineRelay(std::function<void()> wake) : wake_(std::move(wake)) {}

void LineRelay::append(std::string text) {
    bool first = false;
    {
        std::lock_guard lock(queueMutex_);
        if (detached_) {
            return;
        }
        first = queue_.empty();
        queue_.push_back(std::move(text));
    }
    if (!first || !wake_) {
        return;
    }
    // Not under queueMutex_: appenders and the draining owner carry on while this one wakes it.
    std::lock_guard lock(wakeMutex_);
    if (!detached_) {
        wake_();
    }
}

void LineRelay::detach() {
    std::scoped_lock lock(wakeMutex_, queueMutex_);
    detached_ = true;
    queue_.clear();
}

bool LineRelay::detached() const {
    std::lock_guard lock(queueMutex_);
    return detached_;
}

std::size_t LineRelay::drain(const std::function<void(const std::string&)>& each) {
    std::vector<std::string> batch;
    {
        std::lock_guard lock(queueMutex_);
        batch.swap(queue_);
    }
    // The callback runs without the lock: it may take long (a widget redraw) or log itself.
    for (const std::string& text : batch) {
        each(text);
    }
    return batch.size();
}

}  // namespace vellicor
