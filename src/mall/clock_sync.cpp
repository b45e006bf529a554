#include "mall/clock_sync.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include "web/text_util.h"
#include "web/transfer.h"

namespace vellicor::mall {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using WallTime = Clock::WallTime;

nanoseconds sinceEpoch(WallTime t) {
    return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch());
}

WallTime wallAt(nanoseconds sinceEpochNs) {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(sinceEpochNs));
}

class Estimator {
  public:
    Estimator(const DateProber& probe, const Clock& clock, const SyncOptions& options)
        : probe_(probe),
          clock_(clock),
          options_(options),
          deadline_(clock.steadyNow() + options.timeBudget) {}

    Result<OffsetEstimate> run() {
        if (auto st = take(std::nullopt); !st) {
            return st.error();
        }
        while (!done()) {
            if (auto st = sweepBoundary(); !st) {
                return st.error();
            }
        }
        return estimate_;
    }

  private:
    nanoseconds width() const { return estimate_.upper - estimate_.lower; }

    bool outOfBudget() const {
        return estimate_.probes >= options_.probeBudget || clock_.steadyNow() >= deadline_;
    }
    bool done() const { return width() <= options_.targetWidth || outOfBudget(); }

    // Probes aimed across the current bound around the next second change of the mall that
    // can still be reached. The first probe to see the new second ends the sweep: the change
    // lies between it and the probe before.
    Status sweepBoundary() {
        const int count = std::max(1, options_.probesPerBoundary);
        const nanoseconds lower = estimate_.lower;
        const nanoseconds step = width() / (count + 1);
        const nanoseconds halfTrip = roundTrip_ / 2;
        // Room for the prober to get ready before the first aimed send.
        constexpr nanoseconds kMargin = milliseconds(5);
        const nanoseconds earliest = sinceEpoch(clock_.wallNow()) + kMargin + halfTrip;
        const nanoseconds change = std::chrono::ceil<seconds>(earliest - (lower + step));
        for (int j = 1; j <= count && !done(); ++j) {
            const nanoseconds candidate = lower + step * j;
            if (candidate > estimate_.upper) {
                break;
            }
            auto seen = take(wallAt(change + candidate - halfTrip));
            if (!seen) {
                return seen.error();
            }
            if (seconds(*seen) >= change) {
                break;
            }
        }
        return Ok{};
    }

    // One probe; its bound is intersected with what is known. The Date second it showed.
    Result<std::int64_t> take(std::optional<WallTime> sendAt) {
        auto got = probe_(sendAt);
        if (!got) {
            return got.error();
        }
        ++estimate_.probes;
        if (!got->dateSeconds) {
            return makeError(ErrorCode::Unavailable, "the mall's reply has no Date header");
        }
        const nanoseconds date = seconds(*got->dateSeconds);
        const nanoseconds lower = sinceEpoch(got->sent) - date - seconds(1);
        const nanoseconds upper = sinceEpoch(got->received) - date;
        const nanoseconds trip = got->received - got->sent;
        roundTrip_ = first_ ? trip : std::min(roundTrip_, trip);
        const nanoseconds newLower = first_ ? lower : std::max(estimate_.lower, lower);
        const nanoseconds newUpper = first_ ? upper : std::min(estimate_.upper, upper);
        if (newLower > newUpper) {
            // The mall's clock moved under us (or was set): start over from this probe.
            estimate_.lower = lower;
            estimate_.upper = upper;
        } else {
            estimate_.lower = newLower;
            estimate_.upper = newUpper;
        }
        first_ = false;
        return *got->dateSeconds;
    }

    const DateProber& probe_;
    const Clock& clock_;
    SyncOptions options_;
    Clock::Steady deadline_;
    OffsetEstimate estimate_;
    nanoseconds roundTrip_{0};
    bool first_ = true;
};

int monthIndex(std::string_view name) {
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i) {
        if (kMonths[i] == name) {
            return i;
        }
    }
    return -1;
}

std::string headerValue(std::string_view headerText, std::string_view nameWithColon) {
    for (auto line : web::detail::splitOn(headerText, "\r\n")) {
        if (web::detail::startsWithNoCase(line, nameWithColon)) {
            return std::string(web::detail::trimBlanks(line.substr(nameWithColon.size())));
        }
    }
    return {};
}

// Waits on the clock for the aimed moment; the wall clock says how far it is.
void waitUntil(const Clock& clock, WallTime at) {
    const auto left = at - clock.wallNow();
    if (left > WallTime::duration::zero()) {
        clock.sleepUntil(clock.steadyNow() + left);
    }
}

class HttpDateProber {
  public:
    HttpDateProber(std::unique_ptr<web::Transfer> transfer, const Clock& clock)
        : transfer_(std::move(transfer)), clock_(clock) {}

    Result<DateProbe> operator()(std::optional<WallTime> sendAt) {
        if (sendAt) {
            waitUntil(clock_, *sendAt);
        }
        transfer_->reset();
        CURL* easy = transfer_->handle();
        const WallTime start = clock_.wallNow();
        const CURLcode code = curl_easy_perform(easy);
        const WallTime end = clock_.wallNow();
        auto reply = transfer_->finish(code);
        if (!reply) {
            return reply.error();
        }
        curl_off_t pre = 0;
        curl_off_t firstByte = 0;
        curl_off_t total = 0;
        curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pre);
        curl_easy_getinfo(easy, CURLINFO_STARTTRANSFER_TIME_T, &firstByte);
        curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &total);
        // curl's times start a little after `start` and end a little before `end`: counted
        // from our own reads, the send comes out no later and the receive no earlier than
        // they were, so the bound stays true.
        DateProbe probe;
        probe.sent = start + microseconds(pre);
        probe.received =
            std::max(probe.sent, end - microseconds(std::max<curl_off_t>(0, total - firstByte)));
        probe.dateSeconds = parseHttpDate(headerValue(reply->headerText, "Date:"));
        return probe;
    }

  private:
    std::shared_ptr<web::Transfer> transfer_;
    const Clock& clock_;
};

std::string fixed(double value, const char* format) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

}  // namespace

Result<OffsetEstimate> estimateOffset(const DateProber& probe, const Clock& clock,
                                      const SyncOptions& options) {
    return Estimator(probe, clock, options).run();
}

std::optional<std::int64_t> parseHttpDate(std::string_view text) {
    // IMF-fixdate, the one form a server may send: "Sun, 06 Nov 1994 08:49:37 GMT".
    if (text.size() != 29 || text.substr(3, 2) != ", " || text.substr(25) != " GMT") {
        return std::nullopt;
    }
    std::tm tm{};
    char month[4] = {};
    const std::string copy(text.substr(5, 20));  // "06 Nov 1994 08:49:37"
    if (std::sscanf(copy.c_str(), "%2d %3s %4d %2d:%2d:%2d", &tm.tm_mday, month, &tm.tm_year,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6) {
        return std::nullopt;
    }
    tm.tm_mon = monthIndex(month);
    const bool inRange = tm.tm_mon >= 0 && tm.tm_mday >= 1 && tm.tm_mday <= 31 &&
                         tm.tm_hour <= 23 && tm.tm_min <= 59 && tm.tm_sec <= 60;
    if (!inRange) {
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    return static_cast<std::int64_t>(timegm(&tm));
}

DateProber mallDateProber(const Config& config, const Clock& clock) {
    web::PageRequest request;
    request.url = config.mall + "/";
    auto transfer = web::Transfer::prepare(request, config.http);
    if (!transfer) {
        const Error error = transfer.error();
        return [error](std::optional<WallTime>) -> Result<DateProbe> { return error; };
    }
    auto prober = std::make_shared<HttpDateProber>(std::move(transfer).value(), clock);
    return [prober](std::optional<WallTime> at) { return (*prober)(at); };
}

Result<OffsetEstimate> estimateMallOffset(const Config& config, const Clock& clock,
                                          const SyncOptions& options) {
    return estimateOffset(mallDateProber(config, clock), clock, options);
}

std::string offsetLine(const Result<OffsetEstimate>& estimate) {
    if (!estimate) {
        if (estimate.error().code == ErrorCode::Unavailable) {
            return "商城的回复不带时间(Date)，定时按本机时钟\r\n";
        }
        return "未能读取商城时钟（" + estimate.error().message + "），定时按本机时钟\r\n";
    }
    const double ahead = static_cast<double>(estimate->ahead().count()) / 1e9;
    const double margin = static_cast<double>(estimate->halfWidth().count()) / 1e6;
    std::string line = "本机时钟";
    if (estimate->ahead() == nanoseconds::zero()) {
        line += "与商城一致";
    } else {
        line += ahead > 0 ? "比商城快 " : "比商城慢 ";
        line += fixed(ahead > 0 ? ahead : -ahead, "%.3f") + " 秒";
    }
    return line + "（误差 ±" + fixed(margin, "%.1f") + " 毫秒），定时按商城时钟\r\n";
}

MallClockReading readMallClock(const Config& config, const Clock& clock) {
    if (!config.timer.useServerClock) {
        return {"未启用商城时钟，定时按本机时钟\r\n", std::nullopt};
    }
    const auto estimate = estimateMallOffset(config, clock);
    MallClockReading reading{offsetLine(estimate), std::nullopt};
    if (estimate) {
        reading.mallAhead = estimate->mallAhead();
    }
    return reading;
}

}  // namespace vellicor::mall
