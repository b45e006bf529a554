#include "mall/exchange_run.h"

#include <curl/curl.h>

#include <mutex>
#include <thread>

#include "mall/engine.h"
#include "web/transfer.h"

namespace vellicor::mall {

ExchangeRun::ExchangeRun(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<ExchangeRun> ExchangeRun::start(RunPlan plan, const Config& config,
                                                const Clock& clock, LogSink log, Done done,
                                                RunOptions options) {
    web::ensureCurlReady();
    auto state = std::make_shared<State>();
    state->plan = std::move(plan);
    state->config = config;
    state->clock = &clock;
    state->log = log ? std::move(log) : LogSink([](const std::string&) {});
    state->done = std::move(done);
    state->options = options;
    if (options.fireAt) {
        state->fireAtTicks.store(options.fireAt->time_since_epoch().count());
    }
    state->multi = curl_multi_init();
    const long cap = std::max(1, config.exchange.maxConnectionsPerHost);
    curl_multi_setopt(state->multi, CURLMOPT_MAX_HOST_CONNECTIONS, cap);
    curl_multi_setopt(state->multi, CURLMOPT_MAXCONNECTS, cap);
    const std::size_t items = state->plan.items.size();
    // Said before the thread starts, so that it stands above every outcome line.
    state->log("开始兑换：" + std::to_string(items) + " 个商品，每个 " +
               std::to_string(state->plan.perItem) + " 个请求，共 " +
               std::to_string(items * static_cast<std::size_t>(std::max(0, state->plan.perItem))) +
               " 个\r\n");
    // The thread keeps the state alive, so a handle destroyed from `done` is harmless.
    state->thread = std::thread([state] { Engine(*state).run(); });
    return std::unique_ptr<ExchangeRun>(new ExchangeRun(state));
}

ExchangeRun::~ExchangeRun() {
    cancel();
    std::lock_guard lock(state_->joinMutex);
    if (state_->thread.joinable()) {
        if (state_->thread.get_id() == std::this_thread::get_id()) {
            state_->thread.detach();
        } else {
            state_->thread.join();
        }
    }
}

void ExchangeRun::cancel() {
    if (!state_->ended.load()) {
        int expected = State::Waiting;
        state_->phase.compare_exchange_strong(expected, State::Cancelled);
        state_->cancelRequested.store(true);
        curl_multi_wakeup(state_->multi);
    }
}

bool ExchangeRun::sendsNothingMore() const {
    return state_->ended.load() || state_->phase.load() == State::Cancelled;
}

bool ExchangeRun::retime(Clock::Steady fireAt) {
    return state_->options.fireAt && state_->moveFireAt(fireAt);
}

void ExchangeRun::wait() {
    std::lock_guard lock(state_->joinMutex);
    if (state_->thread.joinable() && state_->thread.get_id() != std::this_thread::get_id()) {
        state_->thread.join();
    }
}

bool ExchangeRun::finished() const {
    return state_->ended.load();
}

RunSummary ExchangeRun::summary() const {
    std::lock_guard lock(state_->summaryMutex);
    return state_->summary;
}

}  // namespace vellicor::mall
