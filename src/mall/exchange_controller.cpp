#include "mall/exchange_controller.h"

namespace vellicor::mall {

ExchangeController::ExchangeController(Config config, const Clock& clock, LogSink log)
    : config_(std::move(config)),
      clock_(clock),
      log_(log ? std::move(log) : LogSink([](const std::string&) {})) {}

ExchangeController::~ExchangeController() {
    std::shared_ptr<ExchangeRun> run;
    std::vector<std::shared_ptr<ExchangeRun>> retired;
    {
        std::lock_guard lock(mutex_);
        run = std::move(run_);
        retired = std::move(retired_);
    }
    run.reset();
    retired.clear();
}

// The plan is made once no run is under way: that refusal comes first.
bool ExchangeController::start(const std::vector<std::string>& tickedNames,
                               std::string_view workerFieldText,
                               const std::vector<web::Account>& accounts, RunOptions options,
                               bool namedAccounts) {
    std::shared_ptr<ExchangeRun> previous;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    // Two runs at once would draw lottery items twice and fight over the connections.
    if (run_ && !run_->sendsNothingMore()) {
        log_("上一次兑换尚未结束，本次未发送请求\r\n");
        return false;
    }
    auto plan = planRun(tickedNames, workerFieldText, accounts, config_.exchange.maxWorkers);
    if (!plan) {
        log_(plan.error().message + "\r\n");
        return false;
    }
    plan->namedAccounts = plan->namedAccounts || namedAccounts;
    // A run cancelled before its instant may still be closing its connections: it ends on
    // its own thread, kept here until then, and the window never waits for it.
    std::erase_if(retired_, [](const auto& r) { return r->finished(); });
    if (run_ && !run_->finished()) {
        retired_.push_back(std::move(run_));
    }
    previous = std::move(run_);
    auto onFinished = onFinished_;
    run_ = ExchangeRun::start(
        std::move(plan).value(), config_, clock_, log_,
        [onFinished](const RunSummary& s) {
            if (onFinished) {
                onFinished(s);
            }
        },
        options);
    return true;
}

bool ExchangeController::busy() const {
    std::lock_guard lock(mutex_);
    return run_ && !run_->finished();
}

bool ExchangeController::retime(Clock::Steady fireAt) {
    std::lock_guard lock(mutex_);
    return run_ && run_->retime(fireAt);
}

void ExchangeController::cancel() {
    std::lock_guard lock(mutex_);
    if (run_) {
        run_->cancel();
    }
}

void ExchangeController::wait() {
    std::shared_ptr<ExchangeRun> run;
    {
        std::lock_guard lock(mutex_);
        run = run_;
    }
    if (run) {
        run->wait();
    }
}

void ExchangeController::setOnFinished(std::function<void(const RunSummary&)> onFinished) {
    std::lock_guard lock(mutex_);
    onFinished_ = std::move(onFinished);
}

std::optional<RunSummary> ExchangeController::lastSummary() const {
    std::lock_guard lock(mutex_);
    if (!run_ || !run_->finished()) {
        return std::nullopt;
    }
    return run_->summary();
}

}  // namespace vellicor::mall
