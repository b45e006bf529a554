#include "mall/engine.h"

#include <utility>

#include "mall/backoff.h"

namespace vellicor::mall {

// Asked too early: again after the fixed pause. Told to slow down: again after a pause
// that grows with every such answer, so that a busy mall is not hammered harder. Only an
// answer is asked again after: a request that got none may have been acted on by the mall.
std::optional<milliseconds> Engine::retryPause(Worker& w, OutcomeKind kind,
                                               std::optional<milliseconds> serverAsks) {
    const auto& ex = s_.config.exchange;
    if (kind == OutcomeKind::NotOpen) {
        return milliseconds(ex.retryPauseMs);
    }
    if (kind != OutcomeKind::Throttled) {
        return std::nullopt;
    }
    ++w.throttled;
    return throttlePause(ex, w.throttled, serverAsks, jitter_(rng_));
}

bool Engine::mayRetry(const Worker& w, Clock::Steady now, milliseconds pause) const {
    const auto& ex = s_.config.exchange;
    return !cancelled() && !soldOut_[w.item] &&
           now + pause <= w.firstSend + milliseconds(ex.retryWindowMs);
}

// The item is gone: workers still waiting to ask again end with what they were told.
void Engine::stopRetries(std::size_t item) {
    soldOut_[item] = true;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        Worker& w = workers_[it->second];
        if (w.item != item) {
            ++it;
            continue;
        }
        Outcome outcome = std::move(w.last);
        outcome.message += stoppedNote();
        const std::size_t index = it->second;
        it = waiting_.erase(it);
        report(index, std::move(outcome));
    }
}

void Engine::noteThrottled(const Worker& w, const Outcome& outcome) {
    if (!s_.options.onThrottled || std::exchange(throttleTold_, true)) {
        return;
    }
    s_.options.onThrottled(*s_.plan.items[w.item], outcome, accounts_[w.account].name);
}

void Engine::sendDue() {
    const auto now = clock().steadyNow();
    while (!waiting_.empty() && waiting_.begin()->first <= now && !cancelled()) {
        const std::size_t index = waiting_.begin()->second;
        waiting_.erase(waiting_.begin());
        send(index);
    }
}

}  // namespace vellicor::mall
