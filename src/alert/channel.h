#pragma once
// A way an alert leaves the computer. Each channel is driven by one thread at a time.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "alert/alert.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/result.h"

namespace vellicor::alert {

// What bounds one attempt, on the alerter's clock: the moment its time-out ends, and a moment
// (in nanoseconds since the clock's steady epoch; 0 for none) at which the alerter, shutting
// down, wants it cut whatever is left.
struct Attempt {
    const Clock* clock = &SystemClock::instance();
    Clock::Steady giveUpAt{};
    const std::atomic<long long>* cutAt = nullptr;

    bool timedOut() const { return clock->steadyNow() >= giveUpAt; }
    bool cut() const {
        const long long at = cutAt == nullptr ? 0 : cutAt->load();
        return at != 0 && clock->steadyNow().time_since_epoch() >= std::chrono::nanoseconds(at);
    }
};

// Whether another attempt could go otherwise: a refused login or a 404 stays as it is.
enum class Retry { MayHelp, CannotHelp };

// What one attempt came to: delivered, or the error and whether to try again.
struct AttemptResult {
    AttemptResult(Ok) : status(Ok{}) {}                       // NOLINT: implicit by design
    AttemptResult(Error error, Retry again = Retry::MayHelp)  // NOLINT
        : status(std::move(error)), retry(again) {}

    Status status;
    Retry retry = Retry::MayHelp;
};

class Channel {
  public:
    virtual ~Channel() = default;
    // "Web 钩子", "邮件": how the log names the channel.
    virtual std::string name() const = 0;
    // Where it sends, as the one rule for showing a setting has it (platform/shown_setting.h).
    virtual std::string where() const = 0;
    // One attempt, blocking. Its error never holds a secret of the channel's settings.
    virtual AttemptResult send(const Alert& alert, const Attempt& attempt) = 0;
};

// The channels the settings configure: the web hook, then the mail; none when neither is set.
// The HTTP settings give the certificate authority file.
std::vector<std::unique_ptr<Channel>> configuredChannels(const AlertSettings& settings,
                                                         const HttpSettings& http);

}  // namespace vellicor::alert
