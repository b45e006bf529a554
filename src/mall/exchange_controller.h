#pragma once
// What the "兑换" button and the timer call: checks the input, refuses a second run while
// one is under way, and starts the engine. Every refusal is a line in the log.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mall/exchange_run.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/services.h"

namespace vellicor::mall {

class ExchangeController {
  public:
    // The clock must outlive the controller. `log` may be called from the engine thread.
    ExchangeController(Config config, const Clock& clock, LogSink log);
    ~ExchangeController();  // stops a run still under way
    ExchangeController(const ExchangeController&) = delete;
    ExchangeController& operator=(const ExchangeController&) = delete;

    // Starts a run for every account given and returns at once: each ticked item's N
    // requests for each account, all prepared ahead and fired at the one instant, each
    // request carrying its own account's session (and going through its proxy, if it has
    // one). `items` by id (or the old "选择框N" names), as selectItems takes them. With several
    // accounts (or `namedAccounts`) the lines name the account. False (with a line in the
    // log) when nothing was sent: bad worker field, nothing ticked, an account without a
    // usable session, or a run still under way.
    bool start(const std::vector<std::string>& items, std::string_view workerFieldText,
               const std::vector<web::Account>& accounts, RunOptions options = {},
               bool namedAccounts = false);

    bool busy() const;
    void cancel();
    // Moves the instant of the run waiting for it; false when there is none or it fired.
    bool retime(Clock::Steady fireAt);
    void wait();  // until the current run (if any) has ended

    // Called on the engine thread once a run has ended, after its summary line.
    void setOnFinished(std::function<void(const RunSummary&)> onFinished);
    std::optional<RunSummary> lastSummary() const;

  private:
    mutable std::mutex mutex_;
    Config config_;
    const Clock& clock_;
    LogSink log_;
    std::function<void(const RunSummary&)> onFinished_;
    std::shared_ptr<ExchangeRun> run_;  // shared so wait() can block without the lock
    std::vector<std::shared_ptr<ExchangeRun>> retired_;  // cancelled, still ending
};

}  // namespace vellicor::mall
