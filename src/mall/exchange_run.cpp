#include "mall/exchange_run.h"

#include <mutex>
#include <thread>

#include "mall/engine.h"
#include "mall/net_transport.h"
#include "web/transfer.h"

namespace vellicor::mall {

ExchangeRun::ExchangeRun(std::shared_ptr<State> state) : state_(std::move(state)) {}

ExchangeRun::State::State() = default;
ExchangeRun::State::~State() = default;

void ExchangeRun::State::cancel() {
    if (!ended.load()) {
        int expected = Waiting;
        phase.compare_exchange_strong(expected, Cancelled);
        cancelRequested.store(true);
        transport->poller().wake();
    }
}

std::shared_ptr<ExchangeRun::State> makeRunState(RunPlan plan, const Config& config,
                                                 const Clock& clock, LogSink log,
                                                 ExchangeRun::Done done, RunOptions options) {
    auto state = std::make_shared<ExchangeRun::State>();
    state->plan = std::move(plan);
    state->config = config;
    state->clock = &clock;
    state->log = log ? std::move(log) : LogSink([](const std::string&) {});
    state->done = std::move(done);
    if (options.fireAt) {
        state->fireAtTicks.store(options.fireAt->time_since_epoch().count());
    }
    web::ensureCurlReady();  // the requests are prepared by libcurl whatever way they go
    if (!options.transport) {
        options.transport = netTransport;
    }
    state->transport = options.transport(config);
    state->options = std::move(options);
    return state;
}

std::unique_ptr<ExchangeRun> ExchangeRun::start(RunPlan plan, const Config& config,
                                                const Clock& clock, LogSink log, Done done,
                                                RunOptions options) {
    auto state = makeRunState(std::move(plan), config, clock, std::move(log), std::move(done),
                              std::move(options));
    // Said before the thread starts, so that it stands above every outcome line.
    state->log(startLine(state->plan) + "\r\n");
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
    state_->cancel();
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
