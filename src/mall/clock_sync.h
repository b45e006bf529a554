#pragma once
// How far the computer's clock stands from the mall's, read from the Date header of the
// mall's replies alone. A Date has one-second resolution, but the moment its second changes
// can be caught: a reply stamped second k was generated between our send and our receive,
// so every probe bounds the offset to [sent − date − 1 s, received − date]. Probes aimed so
// that the server's second boundary falls inside their round trip narrow the bound to
// about one round trip.
//
// What a timed run needs is another quantity: A = (local time a request is sent) − (the
// mall's time when it takes it), the clock offset less the way there. Where the mall stamps
// its Date is its own affair: some front ends when a request comes in, most when the answer
// leaves, after the page was made. So the stamp falls anywhere between the probe's arrival
// and its answer's departure, W_p apart. A probe sent at s and stamped second k was taken in
// (k − W_p, k + 1 s), so A ∈ (s − k − 1 s, s − k + W_p]. W_p is at most the probe's round trip
// less the transport's own, read from the TCP handshake, which the mall's kernel answers and
// no software of the mall can lengthen. Any request, "OPTIONS *" too, may be worked on, so none
// stands for the way. The probes the mall answers quickest bound A tightest; the least upper
// end of all serves, and where no address is answered at once it carries the whole work.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    // The transport's own round trip on this prober's way to the mall, with no work in it: the
    // least TCP handshake seen. Empty when unknown, and then the whole round trip counts as
    // the mall's work.
    std::optional<std::chrono::nanoseconds> transport;
    // The reply came from a cache (it had an Age header): its Date says when the page was
    // made, not when this probe was taken, and bounds nothing.
    bool cached = false;
};

// Sends one probe, as near to `sendAt` as it can (at once when empty or already past). Each
// prober is called by one thread at a time.
using DateProber = std::function<Result<DateProbe>(std::optional<Clock::WallTime> sendAt)>;

// Work below this is the path's own jitter and the reading's grain, not a page being made.
inline constexpr std::chrono::milliseconds kAnsweredAtOnce{2};

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
    // The most the mall may have worked on the probe that set arrivalUpper, counted into it.
    std::chrono::nanoseconds work{0};
    // Whether some address was answered about as fast as the handshake; when not, `work` is a
    // page's whole work and a request aimed by it arrives up to that late, never early.
    bool answeredAtOnce() const { return work < kAnsweredAtOnce; }
    int failed = 0;  // probes that got no usable reply (errors, cached, without a Date)

    std::chrono::nanoseconds ahead() const { return lower + (upper - lower) / 2; }
    std::chrono::nanoseconds arrival() const {
        return arrivalLower + (arrivalUpper - arrivalLower) / 2;
    }
    // The way to the mall as the two bounds tell it. Where it splits unevenly between the
    // directions this is about half the round trip: no clock reading can tell the split.
    std::chrono::nanoseconds oneWay() const { return ahead() - arrival(); }
    std::chrono::nanoseconds arrivalWidth() const { return arrivalUpper - arrivalLower; }
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

// A mall whose clock stands this far from the computer's, either way, is not believed: both
// are normally kept to within seconds, and a Date an hour or more off is a broken header or a
// clock set wrong, which a run aimed by it would follow hours early or late.
inline constexpr std::chrono::hours kFarthestTrustedOffset{1};

// A probe that fails, comes from a cache, lacks a Date or carries one far from our clock is
// set aside and its prober used no more; the estimate rests on the others. Only when none
// gave a bound is it an error: Unavailable when no reply carried a usable Date (the caller
// falls back to the local clock), else the first probe's error. With several probers the
// probes of one second change go out on all of them at once, each on its own thread.
Result<OffsetEstimate> estimateOffset(const DateProber& probe, const Clock& clock,
                                      const SyncOptions& options = {});
Result<OffsetEstimate> estimateOffset(std::span<const DateProber> probers, const Clock& clock,
                                      const SyncOptions& options = {});

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since the epoch.
std::optional<std::int64_t> parseHttpDate(std::string_view text);

// Probes over one kept-alive connection to `url`. Before its first probe, and while there is
// room before an aim, it opens and drops a connection of its own to time the TCP handshake:
// the least of those is the transport's own round trip.
DateProber mallDateProber(const Config& config, const Clock& clock, const std::string& url);
// The addresses the mall's clock is read at: its home page, and a static file a front end
// serves without the application, so that one of them is likely answered at once.
std::vector<std::string> probeAddresses(const Config& config);
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

}  // namespace vellicor::mall
