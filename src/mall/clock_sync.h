#pragma once
// How far the computer's clock stands from the mall's, read from the Date header of the
// mall's replies alone. A Date has one-second resolution, but the moment its second changes
// can be caught: a reply stamped second k was generated between our send and our receive,
// so every probe bounds the offset to [sent − date − 1 s, received − date]. Probes aimed so
// that the server's second boundary falls inside their round trip narrow the bound to
// about one round trip.
//
// What a timed run needs is another quantity: A = (local time a request is sent) − (the
// mall's time when it takes it), the clock offset less the way there. A probe sent at s that
// is stamped second k was taken during second k, so A ∈ (s − k − 1 s, s − k]: send times
// alone bound it, however the way splits between the two directions. Probes sent across the
// mall's second change narrow it to well under a millisecond on a steady path.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/clock.h"
#include "platform/config.h"
#include "platform/result.h"

namespace vellicor::mall {

// One probe as the estimator sees it, on the computer's wall clock.
struct DateProbe {
    Clock::WallTime sent;  // no byte of the request had left before this
    // Every byte of the request had left by this; empty when that is `sent` itself.
    std::optional<Clock::WallTime> written;
    Clock::WallTime received;                 // the reply's first byte had arrived by this
    std::optional<std::int64_t> dateSeconds;  // the reply's Date as seconds since the epoch
};

// Sends one probe, as near to `sendAt` as it can (at once when empty or already past). Each
// prober is called by one thread at a time.
using DateProber = std::function<Result<DateProbe>(std::optional<Clock::WallTime> sendAt)>;

struct OffsetEstimate {
    // How far the computer's clock is ahead of the mall's (local − mall); negative when it
    // is behind. The true value lies within [lower, upper].
    std::chrono::nanoseconds lower{0};
    std::chrono::nanoseconds upper{0};
    int probes = 0;
    // A request sent at local wall time s is taken by the mall when its clock reads s − A,
    // with A in (arrivalLower, arrivalUpper]. Where probes disagree (a path that jitters),
    // the bound keeps to the probes that were taken soonest, so that a send at arrivalUpper
    // is not early for them.
    std::chrono::nanoseconds arrivalLower{0};
    std::chrono::nanoseconds arrivalUpper{0};

    std::chrono::nanoseconds ahead() const { return lower + (upper - lower) / 2; }
    std::chrono::nanoseconds arrival() const {
        return arrivalLower + (arrivalUpper - arrivalLower) / 2;
    }
    // The way to the mall as the two bounds tell it. Where it splits unevenly between the
    // directions this is about half the round trip: no clock reading can tell the split.
    std::chrono::nanoseconds oneWay() const { return ahead() - arrival(); }
    // The other way round: how far the mall's clock runs ahead of the computer's.
    std::chrono::nanoseconds mallAhead() const { return -ahead(); }
    std::chrono::nanoseconds halfWidth() const { return (upper - lower) / 2; }
};

struct SyncOptions {
    // Probing ends once the arrival bound is this narrow, or a budget is spent.
    std::chrono::nanoseconds arrivalTargetWidth = std::chrono::microseconds(300);
    int probeBudget = 56;
    std::chrono::nanoseconds timeBudget = std::chrono::seconds(8);
    int probesPerBoundary = 8;  // aimed across the bound at each of the mall's second changes
    // Connections the mall is probed over at once (estimateMallOffset). One probe waits for
    // the one before on its connection, so with a single one a bound narrower than the round
    // trip narrows by half a second at best.
    int connections = 8;
};

// A reply without a Date header is an Unavailable error: the caller falls back to the local
// clock. A probe that fails otherwise ends the estimate with its error. With several probers
// the probes of one second change go out on all of them at once, each on its own thread.
Result<OffsetEstimate> estimateOffset(const DateProber& probe, const Clock& clock,
                                      const SyncOptions& options = {});
Result<OffsetEstimate> estimateOffset(std::span<const DateProber> probers, const Clock& clock,
                                      const SyncOptions& options = {});

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since the epoch.
std::optional<std::int64_t> parseHttpDate(std::string_view text);

// Probes over one kept-alive connection to the mall host (the address `config.mall` + "/").
DateProber mallDateProber(const Config& config, const Clock& clock);
// The estimate a timed run aims with: an Unavailable error when the configuration keeps to
// the local clock, else estimateMallOffset.
Result<OffsetEstimate> timerEstimate(const Config& config, const Clock& clock,
                                     const SyncOptions& options = {});
Result<OffsetEstimate> estimateMallOffset(const Config& config, const Clock& clock,
                                          const SyncOptions& options = {});

// The log line for the user: "本机时钟比商城快 0.412 秒（误差 ±0.8 毫秒）\r\n", or the line
// that says the local clock serves.
std::string offsetLine(const Result<OffsetEstimate>& estimate);
// Its first half: "本机时钟比商城快 0.412 秒（误差 ±0.8 毫秒）".
std::string offsetWords(const OffsetEstimate& estimate);

// A view of a clock as the mall's: wall time shifted by the estimate, steady time untouched,
// so that "the next 12:00:00" worked out on it is the next 12:00:00 on the mall's clock.
class ShiftedClock final : public Clock {
  public:
    ShiftedClock(const Clock& base, std::chrono::nanoseconds ahead) : base_(base), ahead_(ahead) {}
    WallTime wallNow() const override {
        return base_.wallNow() + std::chrono::duration_cast<WallTime::duration>(ahead_);
    }
    Steady steadyNow() const override { return base_.steadyNow(); }
    int utcOffsetSeconds(WallTime at) const override { return base_.utcOffsetSeconds(at); }
    void sleepUntil(Steady deadline) const override { base_.sleepUntil(deadline); }
    void sleepUntilOrStop(Steady deadline, std::stop_token stop) const override {
        base_.sleepUntilOrStop(deadline, std::move(stop));
    }

  private:
    const Clock& base_;
    std::chrono::nanoseconds ahead_;
};

// What a timed run needs of the mall's clock: the estimate's line for the log (one line,
// whatever happened) and the mall's lead over the computer, empty when the local clock serves.
struct MallClockReading {
    std::string line;
    std::optional<std::chrono::nanoseconds> mallAhead;
};
MallClockReading readMallClock(const Config& config, const Clock& clock);

}  // namespace vellicor::mall
