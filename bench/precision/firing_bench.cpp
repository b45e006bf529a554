// How close together and how near the instant the requests of a timed run reach the mall,
// over plain HTTP and over TLS: a one-second tick with a thread and fresh connection per
// request, the engine without and with pre-opened connections, the engine writing only the
// last byte at the instant, and a floor, all against one receiving server on loopback; the
// clock estimate against injected offsets; the retry loop's rate against wrk's; then the
// HTTP/2 section (h2_bench.h). Prints the tables and writes RESULTS.md.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "bench_common.h"
#include "h2_bench.h"
#include "mall/catalogue.h"
#include "mall/clock_sync.h"
#include "mall/exchange_run.h"
#include "mall/preopen.h"
#include "portal/server.h"
#include "receiver.h"
#include "web/page_request.h"
#include "web/transfer.h"

namespace vellicor::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr const char* kFiringHeading = "# Firing benchmark";

enum class Mode { TickThreads, Fresh, Preopened, LastByte, Floor };

const char* nameOf(Mode mode) {
    switch (mode) {
        case Mode::TickThreads:
            return "one-second tick, thread and fresh connection per request";
        case Mode::Fresh:
            return "engine, fresh connections";
        case Mode::Preopened:
            return "engine, pre-opened";
        case Mode::LastByte:
            return "engine, last byte at the instant";
        case Mode::Floor:
            return "floor (1 byte per socket)";
    }
    return "";
}

struct Row {
    std::string scheme;
    Mode mode = Mode::Floor;
    int n = 0;
    Timing time;
    std::vector<double> lags;  // every run's fire lag, in run order
    int errors = 0;
    int lateConnects = 0;  // connections accepted after the instant
};

// A request that failed after it arrived, or never arrived and failed, is one error.
Row measure(Mode mode, int n, const Receiver& rx, const Instant& at, int failed) {
    const auto got = rx.arrivals();
    Row row;
    row.scheme = rx.secure() ? "https" : "http";
    row.mode = mode;
    row.n = n;
    row.errors = std::max({failed, n - static_cast<int>(got.size()), 0});
    row.lateConnects = countFrom(rx.accepts(), at);
    row.time = timingOf(got, at);
    return row;
}

Config configFor(const Receiver& rx) {
    Config c = Config::defaults().withPortal(rx.base());
    c.exchange.maxConnectionsPerHost = 2000;
    c.exchange.retryWindowMs = 0;
    if (rx.secure()) {
        c.http.caFile = kTlsDir + "/ca.pem";
    }
    return c;
}

// A one-second tick that looks whether the time has come, then a thread per request, each
// with a connection (and, over TLS, a handshake) of its own.
Row tickThreads(Receiver& rx, int n) {
    rx.clear();
    const Config config = configFor(rx);
    const Instant at = instantIn(milliseconds(1500));
    auto tick = std::chrono::steady_clock::now();
    while (tick < at.steady) {
        tick += std::chrono::seconds(1);
        std::this_thread::sleep_until(tick);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    web::PageRequest request;
    request.url = mall::exchangeAddress(config.mall, mall::items()[0].target);
    request.cookies = kCookies;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&] {
            if (!web::pageRequest(request, config.http)) {
                ++failed;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    return measure(Mode::TickThreads, n, rx, at, failed.load());
}

Row engine(Receiver& rx, int n, Mode mode) {
    rx.clear();
    Config config = configFor(rx);
    // The shipped lead: a thousand TLS handshakes against this one-thread receiver take
    // longer than a second on a busy machine.
    const long lead = mode == Mode::Fresh ? 0 : TimerSettings{}.preopenLeadMs;
    config.timer.preopenLeadMs = lead;
    config.timer.lastByteSync = mode == Mode::LastByte;
    const Instant at = instantIn(milliseconds(lead + 500));
    mall::RunOptions options;
    options.fireAt = at.steady;
    auto run =
        mall::ExchangeRun::start(planOf(n), config, SystemClock::instance(), {}, {}, options);
    run->wait();
    const auto summary = run->summary();
    const int failed = summary.items.at(0).count(mall::OutcomeKind::Failed);
    return measure(mode, n, rx, at, failed);
}

struct Link {
    int fd = -1;
    SSL* ssl = nullptr;
};

std::vector<Link> openLinks(const Receiver& rx, int n) {
    std::optional<TlsClient> tls;
    if (rx.secure()) {
        tls.emplace();
    }
    std::vector<Link> links;
    for (int i = 0; i < n; ++i) {
        Link link{connectTo(rx.port()), nullptr};
        if (link.fd >= 0 && tls) {
            link.ssl = tls->handshake(link.fd);
            if (link.ssl == nullptr) {
                close(link.fd);
                continue;
            }
        }
        if (link.fd >= 0) {
            links.push_back(link);
        }
    }
    return links;
}

// One thread writing one byte to each of N connections opened (and handshaken) in advance.
Row floorOf(Receiver& rx, int n) {
    rx.clear();
    std::vector<Link> links = openLinks(rx, n);
    const Instant at = instantIn(milliseconds(1000));
    int failed = 0;
    {
        const PreciseWakeups sharp;  // as the engine waits
        mall::waitPrecisely(SystemClock::instance(), at.steady, {});
        for (const Link& link : links) {
            const bool sent = link.ssl != nullptr ? SSL_write(link.ssl, "X", 1) == 1
                                                  : write(link.fd, "X", 1) == 1;
            failed += sent ? 0 : 1;
        }
    }
    // The receiver notes each byte as it reads it; wait for all before closing.
    for (int spins = 0; rx.arrivals().size() < links.size() && spins < 5000; ++spins) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    for (const Link& link : links) {
        SSL_free(link.ssl);
        close(link.fd);
    }
    return measure(Mode::Floor, n, rx, at, failed);
}

struct ClockRow {
    double injectedMs = 0, estimatedMs = 0, errorMs = 0, boundMs = 0;
    int probes = 0;
    bool ok = false;
};

ClockRow clockError(double offsetMs) {
    ClockRow row{offsetMs, 0, 0, 0, 0, false};
    auto server = portal::Server::start(R"({"clockOffsetMs": )" + std::to_string(offsetMs) + "}");
    if (!server) {
        return row;
    }
    const Config config = Config::defaults().withPortal((*server)->baseUrl());
    auto estimate = mall::estimateMallOffset(config, SystemClock::instance());
    if (!estimate) {
        return row;
    }
    row.ok = true;
    row.estimatedMs = ms(estimate->mallAhead().count());
    row.errorMs = std::abs(row.estimatedMs - offsetMs);
    row.boundMs = ms(estimate->halfWidth().count());
    row.probes = estimate->probes;
    return row;
}

// A timed run, so that its connections are opened ahead as in real use; only the exchange
// requests answered from the instant to the run's end count.
double engineRetryRate(Receiver& rx, int workers, int seconds) {
    rx.setPage(Receiver::Page::NotOpen);
    rx.clear();
    Config config = configFor(rx);
    config.exchange.retryPauseMs = 0;
    config.exchange.retryWindowMs = seconds * 1000;
    config.timer.preopenLeadMs = 1000;
    const Instant at = instantIn(milliseconds(1200));
    mall::RunOptions options;
    options.fireAt = at.steady;
    const auto before = rx.exchanges();
    auto run =
        mall::ExchangeRun::start(planOf(workers), config, SystemClock::instance(), {}, {}, options);
    run->wait();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - at.steady).count();
    rx.setPage(Receiver::Page::SoldOut);
    rx.clear();
    return took > 0 ? static_cast<double>(rx.exchanges() - before) / took : 0;
}

double wrkRate(const Receiver& rx, int connections, int seconds) {
    const std::string url = mall::exchangeAddress(rx.base(), mall::items()[0].target);
    const std::string command = "wrk -t1 -c" + std::to_string(connections) + " -d" +
                                std::to_string(seconds) + "s '" + url + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return 0;
    }
    char line[512];
    double rate = 0;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::sscanf(line, "Requests/sec: %lf", &rate);
    }
    pclose(pipe);
    return rate;
}

struct SchemeResult {
    std::string scheme;
    std::vector<Row> rows;
    double engineRate = 0;
    double wrkRate = 0;
};

SchemeResult measureScheme(std::optional<TlsFiles> tls, int retrySeconds, int runs) {
    Receiver rx(std::move(tls));
    SchemeResult result;
    result.scheme = rx.secure() ? "https" : "http";
    if (!rx.ready()) {
        std::fprintf(stderr, "receiver for %s could not start\n", result.scheme.c_str());
        return result;
    }
    for (int n : {100, 1000}) {
        const int times = kRepeats;
        // The fire lag's tail is read at N = 100: there the engine pre-opened and the floor take
        // turns for as many runs as asked.
        const auto [preopened, floor] = [&] {
            const std::vector<std::function<Row()>> ways = {
                [&] { return engine(rx, n, Mode::Preopened); }, [&] { return floorOf(rx, n); }};
            const auto rows = inTurns<Row>(n == 100 ? runs : times, ways);
            return std::pair(rows[0], rows[1]);
        }();
        result.rows.push_back(medianOf<Row>(times, [&] { return tickThreads(rx, n); }));
        result.rows.push_back(medianOf<Row>(times, [&] { return engine(rx, n, Mode::Fresh); }));
        result.rows.push_back(preopened);
        result.rows.push_back(medianOf<Row>(times, [&] { return engine(rx, n, Mode::LastByte); }));
        result.rows.push_back(floor);
    }
    result.engineRate = engineRetryRate(rx, 50, retrySeconds);
    result.wrkRate = wrkRate(rx, 50, retrySeconds);
    return result;
}

Row find(const SchemeResult& s, Mode mode, int n) {
    for (const auto& r : s.rows) {
        if (r.mode == mode && r.n == n) {
            return r;
        }
    }
    return Row{};
}

void writeRows(std::ostream& out, const std::vector<SchemeResult>& schemes) {
    out << "| scheme | mode | N | fire lag ms | fire lag of the runs: median / worst ms (runs) | "
           "spread ms | p50 ms | p99 ms | errors | connects after instant |\n"
           "|---|---|---|---|---|---|---|---|---|---|\n";
    for (const auto& s : schemes) {
        for (const auto& r : s.rows) {
            const Lags lags = lagsOf(r.lags);
            out << "| " << r.scheme << " | " << nameOf(r.mode) << " | " << r.n << " | "
                << fmt("%.3f", r.time.lagMs) << " | " << fmt("%.3f", lags.median) << " / "
                << fmt("%.3f", lags.worst) << " (" << lags.runs << ") | "
                << fmt("%.3f", r.time.spreadMs) << " | " << fmt("%.3f", r.time.p50Ms) << " | "
                << fmt("%.3f", r.time.p99Ms) << " | " << r.errors << " | " << r.lateConnects
                << " |\n";
        }
    }
    // Where a tail fell among the runs (bursts of load show as neighbours).
    const char* gap = "\n";
    for (const auto& s : schemes) {
        for (const auto& r : s.rows) {
            if (r.lags.size() > static_cast<std::size_t>(kRepeats)) {
                out << std::exchange(gap, "") << "- " << r.scheme << ", " << nameOf(r.mode)
                    << ", N = " << r.n << ": fire lags of the " << r.lags.size()
                    << " runs in order: " << lagList(r.lags) << " ms\n";
            }
        }
    }
}

double writeClocks(std::ostream& out, const std::vector<ClockRow>& clocks) {
    out << "| injected mall offset ms | estimated ms | error ms | reported bound ± ms | probes "
           "|\n"
           "|---|---|---|---|---|\n";
    double worst = 0;
    for (const auto& c : clocks) {
        worst = std::max(worst, c.ok ? c.errorMs : 1e9);
        out << "| " << fmt("%.2f", c.injectedMs) << " | " << fmt("%.3f", c.estimatedMs) << " | "
            << fmt("%.3f", c.errorMs) << " | " << fmt("%.3f", c.boundMs) << " | " << c.probes
            << " |\n";
    }
    return worst;
}

struct Target {
    const char* text;
    double limit;
    bool atMost;
    const char* unit;
    double (*value)(const SchemeResult&, Mode);
    bool overRuns = false;  // read only where the mode ran kTargetRuns times or more
};

const std::vector<Target>& targets() {
    static const std::vector<Target> list = {
        {"N=100 spread / floor's (<= 1.5)", 1.5, true, "x",
         [](const SchemeResult& s, Mode m) {
             return find(s, m, 100).time.spreadMs / find(s, Mode::Floor, 100).time.spreadMs;
         }},
        {"N=100 spread / one-second tick's (<= 0.1)", 0.1, true, "x",
         [](const SchemeResult& s, Mode m) {
             return find(s, m, 100).time.spreadMs / find(s, Mode::TickThreads, 100).time.spreadMs;
         }},
        {"N=1000 spread / floor's (<= 1.5)", 1.5, true, "x",
         [](const SchemeResult& s, Mode m) {
             return find(s, m, 1000).time.spreadMs / find(s, Mode::Floor, 1000).time.spreadMs;
         }},
        {"fire lag N=100 (<= 0.5 ms)", 0.5, true, " ms",
         [](const SchemeResult& s, Mode m) { return find(s, m, 100).time.lagMs; }},
        {"fire lag N=1000 (<= 0.5 ms)", 0.5, true, " ms",
         [](const SchemeResult& s, Mode m) { return find(s, m, 1000).time.lagMs; }},
        // Set for plain HTTP, pre-opened: the engine's first request is to leave as soon after
        // the instant as a sender that only writes one byte to each socket.
        {"fire lag N=100 minus the floor's (<= 0.1 ms; set for http, pre-opened)", 0.1, true, " ms",
         [](const SchemeResult& s, Mode m) {
             return find(s, m, 100).time.lagMs - find(s, Mode::Floor, 100).time.lagMs;
         }},
        // No tail at the instant: every run, not the median one, within reach of the floor.
        {"fire lag N=100 in every run: worst minus the floor's median (<= 0.2 ms, 20 runs or more)",
         0.2, true, " ms",
         [](const SchemeResult& s, Mode m) {
             return lagsOf(find(s, m, 100).lags).worst -
                    lagsOf(find(s, Mode::Floor, 100).lags).median;
         },
         true},
    };
    return list;
}

std::string cell(const Target& t, double value) {
    const bool met = std::isfinite(value) && (t.atMost ? value <= t.limit : value >= t.limit);
    return fmt(t.unit[0] == 'x' ? "%.2f" : "%.3f", value) + t.unit + " " + verdict(met);
}

void writeTargets(std::ostream& out, const std::vector<SchemeResult>& schemes, double worstClock) {
    const Mode modes[] = {Mode::Preopened, Mode::LastByte};
    out << "## Targets (ratios from this run)\n\n| target |";
    std::string rule = "|---|";
    for (const auto& s : schemes) {
        for (Mode m : modes) {
            out << " " << s.scheme << ", " << nameOf(m) << " |";
            rule += "---|";
        }
    }
    out << "\n" << rule << "\n";
    for (const auto& t : targets()) {
        out << "| " << t.text << " |";
        for (const auto& s : schemes) {
            for (Mode m : modes) {
                const int runs = static_cast<int>(find(s, m, 100).lags.size());
                out << " "
                    << (t.overRuns && runs < kTargetRuns
                            ? "not read (" + std::to_string(runs) + " runs)"
                            : cell(t, t.value(s, m)))
                    << " |";
            }
        }
        out << "\n";
    }
    out << "\n- clock error, worst: " << fmt("%.3f", worstClock)
        << " ms (target <= 2): " << verdict(worstClock <= 2) << "\n";
    for (const auto& s : schemes) {
        out << "- retry loop, " << s.scheme << ", 50 workers / 50 connections: engine "
            << fmt("%.0f", s.engineRate) << " req/s, wrk ";
        if (s.wrkRate > 0) {
            out << fmt("%.0f", s.wrkRate) << " req/s, " << fmt("%.2f", s.engineRate / s.wrkRate)
                << "x (target >= 0.7): " << verdict(s.engineRate >= 0.7 * s.wrkRate) << "\n";
        } else {
            out << "not run\n";
        }
    }
}

// What every run's numbers mean; a reading of a particular run is written by hand after it.
void writeNotes(std::ostream& out) {
    out << "\n## How the numbers are taken\n\n"
           "- Arrival of a request: the kernel receive time of the read that brought its blank "
           "line (under TLS, of the record that completed it), not of its first bytes; a floor "
           "byte arrives with its own read.\n"
           "- Fire lag: first arrival minus the instant. Spread: last arrival minus first. "
           "p50/p99: of arrival minus instant. Errors: requests that failed or never arrived. "
           "Connects after instant: connections the receiver accepted after the instant (0 "
           "when a run sent only on connections opened ahead).\n"
           "- Sender and receiver share the machine's CPUs; a busy machine widens every spread, "
           "the floor's too, so compare modes within one run (the load average above says how "
           "busy it was).\n"
           "- Every mode and N runs three times, except the engine pre-opened and the floor at "
           "N = 100, which take turns for as many runs as `--runs` asks (20 by default), so "
           "that a burst of load on the machine falls on both; the run with the median spread "
           "is the row, and the column beside the fire lag gives the median and the worst fire "
           "lag over all of the row's runs.\n"
           "- Engine and floor wait for the instant alike: sleeps with no timer slack and a "
           "short scheduling slice (`PreciseWakeups`), then the last 0.3 ms spun.\n"
           "- Retry loop: requests answered from the instant of a timed run (connections opened "
           "a second ahead) to its end, against wrk on the same page with as many "
           "connections.\n";
}

std::string firingSection(int runs) {
    const std::string loadBefore = loadAverage();
    const int retrySeconds = 3;
    std::vector<SchemeResult> schemes;
    schemes.push_back(measureScheme(std::nullopt, retrySeconds, runs));
    schemes.push_back(measureScheme(TlsFiles{kTlsDir + "/server.pem", kTlsDir + "/server.key"},
                                    retrySeconds, runs));
    std::vector<ClockRow> clocks;
    for (double off : {412.5, -1250.25, 0.3, 3000.7}) {
        clocks.push_back(clockError(off));
    }
    const std::string loadAfter = loadAverage();

    std::ostringstream out;
    out << sectionHeader(kFiringHeading, "Machine: " + machine() + "  \n", loadBefore, loadAfter)
        << "  \nReceiver: epoll on 127.0.0.1, kernel receive times (SO_TIMESTAMPNS), plain HTTP "
           "and TLS.\n\n";
    writeRows(out, schemes);
    out << "\n";
    const double worstClock = writeClocks(out, clocks);
    out << "\n";
    writeTargets(out, schemes, worstClock);
    writeNotes(out);
    return out.str();
}

}  // namespace

// With --h2-only, only the HTTP/2 rows run; --runs sets how many runs the fire lag's tail is
// read over. Either way only this benchmark's sections of the results are rewritten.
int run(bool h2Only, int runs) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    web::ensureCurlReady();
    std::string firing;
    if (!h2Only) {
        firing = firingSection(runs);
        std::fwrite(firing.data(), 1, firing.size(), stdout);
        std::fputs("\n", stdout);
    }
    const std::string h2 = h2Section(runs);
    std::fwrite(h2.data(), 1, h2.size(), stdout);
    // Only this benchmark's sections are replaced; the file is read after the runs, so that
    // what another benchmark wrote meanwhile stays.
    std::string text = readResults(VELLICOR_RESULTS_FILE);
    if (!h2Only) {
        text = replaceSection(text, kFiringHeading, firing);
    }
    text = replaceSection(text, kH2Heading, h2);
    std::ofstream(VELLICOR_RESULTS_FILE) << text;
    return 0;
}

}  // namespace vellicor::bench

int main(int argc, char** argv) {
    bool h2Only = false;
    int runs = vellicor::bench::kTargetRuns;
    bool understood = true;
    for (int i = 1; i < argc && understood; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--h2-only") {
            h2Only = true;
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
            understood = runs >= 1;
        } else {
            understood = false;
        }
    }
    if (!understood) {
        std::fprintf(stderr, "usage: %s [--h2-only] [--runs R]\n", argv[0]);
        return 2;
    }
    return vellicor::bench::run(h2Only, runs);
}
