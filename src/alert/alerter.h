#pragma once
// Sends alerts off the caller's thread: each channel has a thread and a queue of its own, so
// that a hook that hangs delays no mail, and post() never waits for the network. A failed
// attempt goes again after a pause that doubles, up to a bound; then one log line says which
// channel failed and why. Every attempt of an alert carries the alert's one id, so that a
// receiver that took an attempt whose answer was lost can drop the retry as the same alert.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "alert/alert.h"
#include "alert/channel.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/services.h"

namespace vellicor::alert {

struct Tuning {
    std::chrono::milliseconds timeout{10000};  // one attempt
    int attempts = 5;                          // in all
    std::chrono::milliseconds firstPause{1000};
    std::chrono::milliseconds maxPause{60000};
    // Alerts waiting on one channel beyond this are dropped (and said): a channel that is
    // down for good must not pile up a run's worth of them.
    std::size_t maxQueued = 100;

    static Tuning from(const AlertSettings& settings);
};

// One channel's answer to a test alert.
struct ChannelResult {
    std::string channel;  // "Web 钩子"
    std::string where;    // its public address
    Status status;
};
using ResultSink = std::function<void(const ChannelResult&)>;

class Alerter {
  public:
    // `log` gets whole lines ending "\r\n", from the channels' threads; it may be empty. The
    // pauses, time-outs and the flush are timed on `clock`, which outlives the alerter.
    Alerter(std::vector<std::unique_ptr<Channel>> channels, Tuning tuning, LogSink log,
            const Clock& clock = SystemClock::instance());
    // The channels the configuration sets up, tuned by it.
    Alerter(const Config& config, LogSink log);
    ~Alerter();  // close(kCloseFlush) unless closed before
    Alerter(const Alerter&) = delete;
    Alerter& operator=(const Alerter&) = delete;

    // How long a window's close waits for alerts still on their way.
    static constexpr std::chrono::milliseconds kCloseFlush{2000};

    std::size_t channels() const { return lanes_.size(); }
    // Any thread; never blocks on the network. Dropped after close().
    void post(const Alert& alert);
    // One attempt on every channel, without retries; `done` is called once per channel, on
    // that channel's thread (also when close() drops it: with the reason).
    void test(const Alert& alert, const ResultSink& done);
    // Alerts still waiting get until `flush` has passed; an attempt under way then is cut.
    // Returns once every channel's thread has ended. Not from a channel's thread.
    void close(std::chrono::milliseconds flush);

  private:
    class Lane;
    const Clock& clock_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::mutex closeMutex_;
    bool closed_ = false;
};

// The alerts of one exchange run. Any thread, never blocking; a null alerter sends nothing.
class RunAlerts {
  public:
    explicit RunAlerts(std::shared_ptr<Alerter> alerter) : alerter_(std::move(alerter)) {}

    // A win: once per item and account, as every worker of the item may be lucky.
    void won(const std::string& item, const std::string& account, const std::string& message);
    // The mall started throttling: once in the run.
    void throttled(const std::string& item, const std::string& account, const std::string& message);
    // The end of a timed run, with its summary.
    void ended(const std::string& summary);

  private:
    std::shared_ptr<Alerter> alerter_;
    std::mutex mutex_;
    std::set<std::pair<std::string, std::string>> won_;
    bool throttled_ = false;
};

// The accounts whose session was found ended when the timer was armed: one alert for them all.
void alertSessionsEnded(Alerter* alerter, const std::vector<std::string>& accounts);

// The results of a test alert as the log shows them, one line each ending "\r\n".
std::string resultLine(const ChannelResult& result);

}  // namespace vellicor::alert
