#include "mall/clock_sync.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "web/text_util.h"
#include "web/transfer.h"

namespace vellicor::mall {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using WallTime = Clock::WallTime;

constexpr const char* kNoDate = "the mall's reply has no Date header";

nanoseconds sinceEpoch(WallTime t) {
    return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch());
}

WallTime wallAt(nanoseconds sinceEpochNs) {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(sinceEpochNs));
}

// A run of probes on one prober, sent in order until the time is up.
struct ProbeRun {
    std::size_t prober = 0;
    std::vector<std::optional<WallTime>> aims;
    std::vector<Result<DateProbe>> got;
};

// What one probe bounds, kept so that the bounds can be read again when a quicker bare
// exchange lowers the transport's round trip.
struct Taken {
    std::size_t prober;
    nanoseconds lower;      // sent − date − 1 s
    nanoseconds upperBase;  // written − date: the upper end had the mall done no work
    nanoseconds trip;       // received − written: the mall's work and the way both ways
};

class Estimator {
  public:
    Estimator(std::span<const DateProber> probers, const Clock& clock, const SyncOptions& options)
        : probers_(probers),
          clock_(clock),
          options_(options),
          deadline_(clock.steadyNow() + options.timeBudget),
          alive_(probers.size(), true) {}

    Result<OffsetEstimate> run() {
        // Every prober once at once: each opens its connection and gives a first bound.
        std::vector<ProbeRun> first(probers_.size());
        for (std::size_t i = 0; i < first.size(); ++i) {
            first[i].prober = i;
            first[i].aims.emplace_back(std::nullopt);
        }
        takeAll(first);
        while (!taken_.empty() && !done()) {
            if (!sweepBoundary()) {
                break;
            }
        }
        if (taken_.empty()) {
            return noReading();
        }
        estimate_.failed = failed_;
        return estimate_;
    }

  private:
    // What aimed probes can still narrow: a probe sent at a and taken after the change bounds A
    // by a + its work, so only aims below the upper end less the least work tell anything.
    nanoseconds span() const {
        return std::max(nanoseconds(1),
                        estimate_.arrivalUpper - leastWork() - estimate_.arrivalLower);
    }

    bool outOfBudget() const {
        return estimate_.probes >= options_.probeBudget || clock_.steadyNow() >= deadline_;
    }
    bool done() const { return span() <= options_.arrivalTargetWidth || outOfBudget(); }

    // The least work bound any probe of `prober` (or of all, when empty) has shown.
    nanoseconds leastWork(std::optional<std::size_t> prober = std::nullopt) const {
        std::optional<nanoseconds> least;
        for (const Taken& t : taken_) {
            if (!prober || t.prober == *prober) {
                least = least ? std::min(*least, workOf(t)) : workOf(t);
            }
        }
        return least.value_or(nanoseconds::zero());
    }

    // The probers still answering whose address is answered about as quickly as the quickest:
    // aims for the others would only confirm what is known.
    std::vector<std::size_t> aimedProbers() const {
        constexpr nanoseconds kSlack = milliseconds(1);
        const nanoseconds quickest = leastWork();
        std::vector<std::size_t> out;
        for (std::size_t i = 0; i < alive_.size(); ++i) {
            if (alive_[i] && leastWork(i) <= quickest + kSlack) {
                out.push_back(i);
            }
        }
        return out;
    }

    // Sends aimed across the arrival bound at the next second change of the mall that can
    // still be reached: a probe sent at change + a is taken after the change exactly when
    // a ≥ A. The last aim is the upper end itself: on a steady path it only confirms it, on
    // a jittering one a probe faster than those before shows that it was too low. The aims
    // are dealt out over the probers in turn, so that one prober's aims lie as far apart as
    // the sweep allows. False when no prober is left.
    bool sweepBoundary() {
        const auto alive = aimedProbers();
        if (alive.empty()) {
            return false;
        }
        const int count = sweepCount(alive.size());
        const nanoseconds lower = estimate_.arrivalLower;
        const nanoseconds step = span() / count;
        // Room for the prober to get ready before the first aimed send.
        constexpr nanoseconds kMargin = milliseconds(5);
        const nanoseconds earliest = sinceEpoch(clock_.wallNow()) + kMargin;
        const nanoseconds change = std::chrono::ceil<seconds>(earliest - (lower + step));
        std::vector<ProbeRun> runs(std::min<std::size_t>(alive.size(), count));
        for (std::size_t i = 0; i < runs.size(); ++i) {
            runs[i].prober = alive[i];
        }
        for (int j = 1; j <= count; ++j) {
            runs[static_cast<std::size_t>(j - 1) % runs.size()].aims.emplace_back(
                wallAt(change + lower + step * j));
        }
        takeAll(runs);
        return true;
    }

    // As many aims as fit: one prober's aims lie a step times the probers apart, and closer
    // than a round trip the later ones would go out late. Two at least, so that one narrows.
    int sweepCount(std::size_t alive) const {
        const int most = std::clamp(options_.probesPerBoundary, 1,
                                    std::max(1, options_.probeBudget - estimate_.probes));
        const auto probers = static_cast<long long>(alive);
        const long long least = std::min<long long>(most, std::max(2LL, probers));
        const nanoseconds spacing = roundTrip_ * 5 / 4 + microseconds(200);
        const long long fit = span() * probers / spacing;
        return static_cast<int>(std::clamp<long long>(fit, least, most));
    }

    // The runs on their probers at once (the first on this thread), then every probe's bound.
    void takeAll(std::vector<ProbeRun>& runs) {
        std::vector<std::jthread> threads;
        for (std::size_t i = 1; i < runs.size(); ++i) {
            threads.emplace_back([this, &runs, i] { sendRun(runs[i]); });
        }
        sendRun(runs[0]);
        threads.clear();
        for (auto& run : runs) {
            for (auto& got : run.got) {
                if (!take(got, run.prober)) {
                    alive_[run.prober] = false;
                }
            }
        }
    }

    void sendRun(ProbeRun& run) const {
        const DateProber& probe = probers_[run.prober];
        for (const auto& aim : run.aims) {
            if (!run.got.empty() && clock_.steadyNow() >= deadline_) {
                return;
            }
            run.got.push_back(probe(aim));
            if (!usable(run.got.back())) {
                return;
            }
        }
    }

    static bool usable(const Result<DateProbe>& got) {
        return got && got->dateSeconds && !got->cached;
    }

    // One probe's bounds joined with what is known; false when it bounds nothing.
    bool take(const Result<DateProbe>& got, std::size_t prober) {
        if (!usable(got)) {
            noteUnusable(got);
            return false;
        }
        const nanoseconds sent = sinceEpoch(got->sent);
        const auto dateSeconds = *got->dateSeconds;
        const auto sentSeconds = std::chrono::floor<seconds>(sent).count();
        if (std::abs(dateSeconds - sentSeconds) >=
            std::chrono::seconds(kFarthestTrustedOffset).count()) {
            far_ = dateSeconds - sentSeconds;
            ++failed_;
            return false;
        }
        ++estimate_.probes;
        const nanoseconds date = seconds(dateSeconds);
        const nanoseconds written =
            sinceEpoch(std::max(got->sent, got->written.value_or(got->sent)));
        const nanoseconds trip = got->received - got->sent;
        roundTrip_ = first_ ? trip : std::min(roundTrip_, trip);
        if (got->transport) {
            transport_ = transport_ ? std::min(*transport_, *got->transport) : *got->transport;
        }
        joinOffset(sent - date - seconds(1), sinceEpoch(got->received) - date);
        taken_.push_back({prober, sent - date - seconds(1), written - date,
                          std::max(nanoseconds::zero(), sinceEpoch(got->received) - written)});
        readArrival();
        first_ = false;
        return true;
    }

    void noteUnusable(const Result<DateProbe>& got) {
        ++failed_;
        if (!got) {
            if (!firstError_) {
                firstError_ = got.error();
            }
        } else if (got->cached) {
            cached_ = true;
        } else {
            ++estimate_.probes;  // an answer without a Date still spends the budget
        }
    }

    Error noReading() const {
        if (far_) {
            char hours[32];
            std::snprintf(hours, sizeof hours, "%.1f", static_cast<double>(*far_) / 3600.0);
            return makeError(
                ErrorCode::Unavailable,
                std::string("商城回复的时间(Date)与本机时钟相差 ") + hours + " 小时，不可信");
        }
        if (cached_) {
            return makeError(ErrorCode::Unavailable, "商城的回复来自缓存，时间(Date)不是当下的");
        }
        if (firstError_) {
            return *firstError_;
        }
        return makeError(ErrorCode::Unavailable, kNoDate);
    }

    void joinOffset(nanoseconds lower, nanoseconds upper) {
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
    }

    // The most the mall may have worked on a probe: its round trip less the transport's own.
    nanoseconds workOf(const Taken& t) const {
        return std::max(nanoseconds::zero(), t.trip - transport_.value_or(nanoseconds::zero()));
    }

    // A probe taken before the change proves that a send that early is taken early, so
    // lower bounds always hold. An upper bound below them came from a probe slower on the
    // way than the rest; it is set aside, and the least of the others serves. The bound can
    // so neither come out empty nor end below a probe that was taken early.
    void readArrival() {
        nanoseconds floor = taken_.front().lower;
        for (const Taken& t : taken_) {
            floor = std::max(floor, t.lower);
        }
        std::optional<nanoseconds> least;
        nanoseconds work{0};
        for (const Taken& t : taken_) {
            const nanoseconds upper = t.upperBase + workOf(t);
            if (upper > floor && (!least || upper < *least)) {
                least = upper;
                work = workOf(t);
            }
        }
        estimate_.arrivalLower = floor;
        // The probe that set the lower bound has its upper a second above it, so one is left.
        estimate_.arrivalUpper = least.value_or(floor + seconds(1));
        estimate_.work = least ? work : nanoseconds::zero();
    }

    std::span<const DateProber> probers_;
    const Clock& clock_;
    SyncOptions options_;
    Clock::Steady deadline_;
    OffsetEstimate estimate_;
    std::vector<bool> alive_;
    std::vector<Taken> taken_;
    std::optional<nanoseconds> transport_;
    nanoseconds roundTrip_{0};
    bool first_ = true;
    int failed_ = 0;
    bool cached_ = false;
    std::optional<std::int64_t> far_;  // seconds the last far Date stood from our clock
    std::optional<Error> firstError_;
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

// The moments around the request's write, read on the wall clock by curl's own call-backs:
// one after the connection is ready and before the request goes, one once its header text
// has been handed to the socket.
struct WriteMoments {
    const Clock* clock = nullptr;
    std::optional<WallTime> before;
    std::optional<WallTime> after;
};

int beforeRequest(void* data, char*, char*, int, int) {
    auto* m = static_cast<WriteMoments*>(data);
    m->before = m->clock->wallNow();
    return CURL_PREREQFUNC_OK;
}

int onDebug(CURL*, curl_infotype type, char*, size_t, void* data) {
    auto* m = static_cast<WriteMoments*>(data);
    if (type == CURLINFO_HEADER_OUT && !m->after) {
        m->after = m->clock->wallNow();
    }
    return 0;
}

class HttpDateProber {
  public:
    HttpDateProber(std::unique_ptr<web::Transfer> transfer, const Clock& clock)
        : transfer_(std::move(transfer)), clock_(clock) {
        moments_.clock = &clock;
        CURL* easy = transfer_->handle();
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &beforeRequest);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, &moments_);
        curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &onDebug);
        curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &moments_);
        curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    }

    Result<DateProbe> operator()(std::optional<WallTime> sendAt) {
        // The way is sampled before the first probe, and again while there is time before an
        // aim. One sample taken while the path was slow (the first, beside seven others
        // opening at once) would pass for the way itself and hide that much of a probe's
        // work, so the least of many serves.
        if ((!transport_ && !sendAt) || (sendAt && roomFor(*sendAt))) {
            handshake();
        }
        if (sendAt) {
            waitUntil(clock_, *sendAt);
        }
        auto got = perform();
        if (!got) {
            return got.error();
        }
        DateProbe probe = got->probe;
        probe.dateSeconds = parseHttpDate(headerValue(got->reply.headerText, "Date:"));
        probe.cached = !headerValue(got->reply.headerText, "Age:").empty();
        if (got->handshake) {
            keepLeast(*got->handshake);
        }
        probe.transport = transport_;
        return probe;
    }

  private:
    struct Performed {
        DateProbe probe;
        web::Reply reply;
        std::optional<nanoseconds> handshake;  // when a new connection was opened for it
    };

    static std::optional<nanoseconds> handshakeOf(CURL* easy) {
        long connects = 0;
        curl_off_t lookup = 0;
        curl_off_t connect = 0;
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &lookup);
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connect);
        if (connects > 0 && connect > lookup) {
            return microseconds(connect - lookup);
        }
        return std::nullopt;
    }

    Result<Performed> perform() {
        transfer_->reset();
        moments_.before.reset();
        moments_.after.reset();
        CURL* easy = transfer_->handle();
        const WallTime start = clock_.wallNow();
        const CURLcode code = curl_easy_perform(easy);
        const WallTime end = clock_.wallNow();
        auto reply = transfer_->finish(code);
        if (!reply) {
            return reply.error();
        }
        curl_off_t firstByte = 0;
        curl_off_t total = 0;
        curl_easy_getinfo(easy, CURLINFO_STARTTRANSFER_TIME_T, &firstByte);
        curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &total);
        Performed out;
        out.probe.sent = moments_.before.value_or(start);
        out.probe.written = moments_.after.value_or(end);
        // curl's times end a little before `end`: counted back from our own read, the
        // receive comes out no earlier than it was.
        out.probe.received = std::max(
            *out.probe.written, end - microseconds(std::max<curl_off_t>(0, total - firstByte)));
        out.reply = std::move(reply).value();
        out.handshake = handshakeOf(easy);
        return out;
    }

    // The TCP handshake is answered by the mall's kernel: no software of the mall can make it
    // longer, so its round trip is the way there and back with no work in it. A request, even
    // "OPTIONS *", may be worked on, and taken for the way it would hide that work and aim
    // early. A connection of its own, opened and dropped, adds a sample without touching the
    // probes' kept-alive one.
    void handshake() {
        CURL* easy = curl_easy_duphandle(transfer_->handle());
        if (easy == nullptr) {
            return;
        }
        curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, nullptr);
        if (curl_easy_perform(easy) == CURLE_OK) {
            if (const auto trip = handshakeOf(easy)) {
                keepLeast(*trip);
            }
        }
        curl_easy_cleanup(easy);
    }

    // Whether a handshake fits before the aimed send, with room to spare.
    bool roomFor(WallTime sendAt) const {
        if (!transport_) {
            return false;
        }
        const auto room = std::chrono::duration_cast<nanoseconds>(sendAt - clock_.wallNow());
        return room > *transport_ * 3 + milliseconds(20);
    }

    void keepLeast(nanoseconds trip) {
        trip = std::max(nanoseconds::zero(), trip);
        transport_ = transport_ ? std::min(*transport_, trip) : trip;
    }

    std::unique_ptr<web::Transfer> transfer_;
    const Clock& clock_;
    WriteMoments moments_;
    std::optional<nanoseconds> transport_;
};

std::string fixed(double value, const char* format) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

}  // namespace

Result<OffsetEstimate> estimateOffset(const DateProber& probe, const Clock& clock,
                                      const SyncOptions& options) {
    return estimateOffset(std::span<const DateProber>(&probe, 1), clock, options);
}

Result<OffsetEstimate> estimateOffset(std::span<const DateProber> probers, const Clock& clock,
                                      const SyncOptions& options) {
    if (probers.empty()) {
        return makeError(ErrorCode::BadInput, "no prober to read the mall's clock with");
    }
    return Estimator(probers, clock, options).run();
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

std::vector<std::string> probeAddresses(const Config& config) {
    return {config.mall + "/", config.mall + "/favicon.ico"};
}

DateProber mallDateProber(const Config& config, const Clock& clock, const std::string& url) {
    web::PageRequest request;
    request.url = url;
    // Asked of the mall itself, not of a cache on the way.
    request.headerText = "Cache-Control: no-cache\r\nPragma: no-cache";
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
    // The connections alternate between the addresses, so that where one of them is
    // answered at once, half the probes bound the arrival by the way alone.
    const auto addresses = probeAddresses(config);
    std::vector<DateProber> probers;
    for (int i = 0; i < std::max(1, options.connections); ++i) {
        probers.push_back(mallDateProber(
            config, clock, addresses[static_cast<std::size_t>(i) % addresses.size()]));
    }
    return estimateOffset(probers, clock, options);
}

Result<OffsetEstimate> timerEstimate(const Config& config, const Clock& clock,
                                     const SyncOptions& options) {
    if (!config.timer.useServerClock) {
        return makeError(ErrorCode::Unavailable, "the timer keeps to the local clock");
    }
    return estimateMallOffset(config, clock, options);
}

std::string offsetLine(const Result<OffsetEstimate>& estimate) {
    if (!estimate) {
        if (estimate.error().message == kNoDate) {
            return "商城的回复不带时间(Date)，定时按本机时钟\r\n";
        }
        return "未能读取商城时钟（" + estimate.error().message + "），定时按本机时钟\r\n";
    }
    return offsetWords(*estimate) + "，定时按商城时钟\r\n";
}

std::string offsetWords(const OffsetEstimate& estimate) {
    const double ahead = static_cast<double>(estimate.ahead().count()) / 1e9;
    const double margin = static_cast<double>(estimate.halfWidth().count()) / 1e6;
    std::string words = "本机时钟";
    if (estimate.ahead() == nanoseconds::zero()) {
        words += "与商城一致";
    } else {
        words += ahead > 0 ? "比商城快 " : "比商城慢 ";
        words += fixed(ahead > 0 ? ahead : -ahead, "%.3f") + " 秒";
    }
    return words + "（误差 ±" + fixed(margin, "%.1f") + " 毫秒）";
}

}  // namespace vellicor::mall
