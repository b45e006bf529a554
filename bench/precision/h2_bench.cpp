#include "h2_bench.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>
#include <utility>

#include "bench_common.h"
#include "h2_floor.h"
#include "h2_receiver.h"
#include "mall/catalogue.h"
#include "mall/exchange_run.h"
#include "mall/preopen.h"

namespace vellicor::bench {

const char* const kH2Heading = "# HTTP/2 over TLS";

namespace {

using std::chrono::milliseconds;

// What a mall commonly allows; the single-write floor raises it to its N, as it puts every
// stream on one connection.
constexpr std::uint32_t kMaxStreams = 128;

enum class Mode { Wave, Http1Engine, SocketFloor, H2Floor };

const char* nameOf(Mode mode) {
    switch (mode) {
        case Mode::Wave:
            return "HTTP/2 wave";
        case Mode::Http1Engine:
            return "HTTP/1.1 engine, pre-opened";
        case Mode::SocketFloor:
            return "floor (1 byte per socket)";
        case Mode::H2Floor:
            return "floor (HTTP/2, one connection, one write)";
    }
    return "";
}

struct Row {
    Mode mode = Mode::SocketFloor;
    int n = 0;
    Timing time;
    std::vector<double> lags;  // every run's fire lag, in run order
    int errors = 0;
    int connections = 0;   // accepted since the run began
    int lateConnects = 0;  // of them, after the instant
    H2Receiver::Protocols seen;
    std::string note;  // how a floor went, or why it could not run
};

// A request that failed, was answered with anything but the receiver's page, or never
// arrived, is one error.
Row measure(Mode mode, int n, const H2Receiver& rx, const Instant& at, int failed) {
    const auto got = rx.arrivals();
    const auto accepts = rx.accepts();
    Row row;
    row.mode = mode;
    row.n = n;
    row.errors = std::max({failed, n - static_cast<int>(got.size()), 0});
    row.connections = static_cast<int>(accepts.size());
    row.lateConnects = countFrom(accepts, at);
    row.seen = rx.protocols();
    row.time = timingOf(got, at);
    return row;
}

// Every arrival in, or a few seconds gone: the receiver notes each as it reads it.
void awaitArrivals(const H2Receiver& rx, std::size_t n) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (rx.arrivals().size() < n && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(1));
    }
}

void prepare(H2Receiver& rx, bool h2, std::uint32_t maxStreams) {
    rx.offerH2(h2);
    rx.setMaxStreams(maxStreams);
    rx.clear();
}

// The shipped lead, or longer where this one-thread receiver cannot do N handshakes in it
// on a busy machine (an RSA signature each): the HTTP/1.1 row is about sending on
// connections opened ahead, not about how fast the receiver accepts them. The connect
// time-out is stretched with it, as all N handshakes start at once and queue here.
long leadFor(int n, bool h2) {
    const long shipped = TimerSettings{}.preopenLeadMs;
    return h2 ? shipped : std::max(shipped, 6L * n);
}

// A timed run as in real use: connections opened ahead, the instant a second after that.
Row engine(H2Receiver& rx, int n, Mode mode) {
    const bool h2 = mode == Mode::Wave;
    prepare(rx, h2, kMaxStreams);
    Config config = Config::defaults().withPortal(rx.base());
    config.exchange.maxConnectionsPerHost = 2000;
    config.exchange.retryWindowMs = 0;
    config.http.caFile = kTlsDir + "/ca.pem";
    config.http.version = h2 ? HttpVersion::Http2 : HttpVersion::Http1_1;
    config.timer.preopenLeadMs = leadFor(n, h2);
    config.http.connectTimeoutMs = std::max(config.http.connectTimeoutMs, leadFor(n, h2) - 500);
    const Instant at = instantIn(milliseconds(config.timer.preopenLeadMs + 500));
    mall::RunOptions options;
    options.fireAt = at.steady;
    auto run =
        mall::ExchangeRun::start(planOf(n), config, SystemClock::instance(), {}, {}, options);
    run->wait();
    const int answered = run->summary().items.at(0).count(mall::OutcomeKind::SoldOut);
    return measure(mode, n, rx, at, n - answered);
}

// Every run's fire lag, in run order: the median run is chosen by spread, and a tail shows
// here with where it fell among the runs.
std::string lagNote(const Row& row) {
    return "fire lags of the " + std::to_string(row.lags.size()) +
           " runs in order: " + lagList(row.lags) + " ms";
}

struct Link {
    int fd = -1;
    SSL* ssl = nullptr;
};

// One thread writing one byte to each of N TLS connections handshaken in advance.
Row socketFloor(H2Receiver& rx, int n) {
    prepare(rx, false, kMaxStreams);
    const TlsClient tls;
    std::vector<Link> links;
    for (int i = 0; i < n; ++i) {
        const int fd = connectTo(rx.port());
        SSL* ssl = fd >= 0 ? tls.handshake(fd) : nullptr;
        if (ssl != nullptr) {
            links.push_back({fd, ssl});
        } else if (fd >= 0) {
            close(fd);
        }
    }
    const Instant at = instantIn(milliseconds(1000));
    int failed = 0;
    {
        const PreciseWakeups sharp;  // as the engine waits
        mall::waitPrecisely(SystemClock::instance(), at.steady, {});
        for (const Link& link : links) {
            failed += SSL_write(link.ssl, "X", 1) == 1 ? 0 : 1;
        }
    }
    awaitArrivals(rx, links.size());
    for (const Link& link : links) {
        SSL_free(link.ssl);
        close(link.fd);
    }
    ERR_clear_error();
    return measure(Mode::SocketFloor, n, rx, at, failed);
}

Row h2Floor(H2Receiver& rx, int n) {
    prepare(rx, true, std::max<std::uint32_t>(kMaxStreams, static_cast<std::uint32_t>(n)));
    const std::string url = mall::exchangeAddress(rx.base(), mall::items()[0].target);
    const std::string path = url.substr(rx.base().size());
    auto floor = H2Floor::open(rx.port());
    const auto framing = std::chrono::steady_clock::now();
    Status ready = floor ? (*floor)->prepare(n, path) : Status(floor.error());
    const double framedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - framing)
            .count();
    const Instant at = instantIn(milliseconds(1000));
    if (!ready) {
        Row row = measure(Mode::H2Floor, n, rx, at, n);
        row.note = ready.error().message;
        return row;
    }
    bool sent = false;
    {
        const PreciseWakeups sharp;  // as the engine waits
        mall::waitPrecisely(SystemClock::instance(), at.steady, {});
        sent = (*floor)->fire();
    }
    awaitArrivals(rx, static_cast<std::size_t>(n));
    Row row = measure(Mode::H2Floor, n, rx, at, sent ? 0 : n);
    // What the floor did ahead and a sender framing at the instant would add to its lag.
    row.note = "framing the requests ahead (nghttp2 submit and serialise) took " +
               fmt("%.3f", framedMs) + " ms";
    return row;
}

std::string seenText(const H2Receiver::Protocols& p) {
    return "h2: " + std::to_string(p.h2) + " (" + std::to_string(p.h2Requests) +
           " requests), http/1.1: " + std::to_string(p.http1);
}

void writeRows(std::ostream& out, const std::vector<Row>& rows) {
    out << "| mode | N | fire lag ms | fire lag of the runs: median / worst ms (runs) | spread ms "
           "| p50 ms | p99 ms | errors | connections (after instant) | protocol seen | protocol "
           "errors |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const Row& r : rows) {
        const Lags lags = lagsOf(r.lags);
        out << "| " << nameOf(r.mode) << " | " << r.n << " | " << fmt("%.3f", r.time.lagMs) << " | "
            << fmt("%.3f", lags.median) << " / " << fmt("%.3f", lags.worst) << " (" << lags.runs
            << ") | " << fmt("%.3f", r.time.spreadMs) << " | " << fmt("%.3f", r.time.p50Ms) << " | "
            << fmt("%.3f", r.time.p99Ms) << " | " << r.errors << " | " << r.connections << " ("
            << r.lateConnects << ") | " << seenText(r.seen) << " | " << r.seen.errors << " |\n";
    }
    const char* gap = "\n";
    for (const Row& r : rows) {
        for (const std::string& note : {lagNote(r), r.note}) {
            if (!note.empty()) {
                out << std::exchange(gap, "") << "- " << nameOf(r.mode) << ", N = " << r.n << ": "
                    << note << "\n";
            }
        }
    }
}

Row find(const std::vector<Row>& rows, Mode mode, int n) {
    for (const Row& r : rows) {
        if (r.mode == mode && r.n == n) {
            return r;
        }
    }
    return Row{};
}

// A wave that did not arrive whole over HTTP/2 meets nothing, whatever its timing says.
std::string waveProblem(const Row& wave) {
    if (wave.seen.h2 == 0) {
        return "no HTTP/2 connection";
    }
    if (wave.seen.http1 > 0) {
        return std::to_string(wave.seen.http1) + " connections fell back to HTTP/1.1";
    }
    if (wave.errors > 0 || wave.seen.errors > 0) {
        return std::to_string(wave.errors) + " errors, " + std::to_string(wave.seen.errors) +
               " protocol errors";
    }
    return "";
}

std::string cell(double value, double limit, const char* unit, const std::string& problem) {
    const bool met = problem.empty() && std::isfinite(value) && value <= limit;
    std::string text = fmt(unit[0] == 'x' ? "%.2f" : "%.3f", value) + unit + " " + verdict(met);
    return problem.empty() ? text : text + " (" + problem + ")";
}

void writeTargets(std::ostream& out, const std::vector<Row>& rows) {
    out << "\n## Targets (ratios from this run)\n\n| target | N = 100 | N = 1000 |\n"
           "|---|---|---|\n";
    auto line = [&](const char* text, double limit, const char* unit, auto value) {
        out << "| " << text << " |";
        for (int n : {100, 1000}) {
            const Row wave = find(rows, Mode::Wave, n);
            out << " " << cell(value(wave, n), limit, unit, waveProblem(wave)) << " |";
        }
        out << "\n";
    };
    line("HTTP/2 wave spread / per-socket floor's (<= 0.2 at N = 100)", 0.2, "x",
         [&](const Row& w, int n) {
             return w.time.spreadMs / find(rows, Mode::SocketFloor, n).time.spreadMs;
         });
    line("HTTP/2 wave first arrival after the instant (<= 0.2 ms)", 0.2, " ms",
         [](const Row& w, int) { return w.time.lagMs; });
    // No tail at the instant: every run, not the median one, within reach of its floor.
    const auto everyRun = [&](const char* text, Mode mode, Mode floor) {
        out << "| " << text << " |";
        for (int n : {100, 1000}) {
            const Row way = find(rows, mode, n);
            const int runs = static_cast<int>(way.lags.size());
            const std::string problem = mode == Mode::Wave ? waveProblem(way)
                                        : way.errors > 0   ? std::to_string(way.errors) + " errors"
                                                           : "";
            out << " "
                << (runs < kTargetRuns
                        ? "not read (" + std::to_string(runs) + " runs)"
                        : cell(lagsOf(way.lags).worst - lagsOf(find(rows, floor, n).lags).median,
                               0.2, " ms", problem))
                << " |";
        }
        out << "\n";
    };
    everyRun(
        "HTTP/2 wave fire lag in every run: worst minus the single-write floor's median "
        "(<= 0.2 ms, 20 runs or more)",
        Mode::Wave, Mode::H2Floor);
    everyRun(
        "HTTP/1.1 engine, pre-opened, fire lag in every run: worst minus the per-socket "
        "floor's median (<= 0.2 ms, 20 runs or more)",
        Mode::Http1Engine, Mode::SocketFloor);
    out << "\nThe N = 1000 column is for reading only: the targets are set at N = 100 (spread "
           "and every run's fire lag) and for the first arrival.\n";
}

void writeNotes(std::ostream& out) {
    out << "\n## How the HTTP/2 numbers are taken\n\n"
           "- One TLS receiver with the tests' certificate, one epoll thread. ALPN settles h2 "
           "where the client offers it (http/1.1 only, for the HTTP/1.1 rows and the "
           "per-socket floor); the protocol-seen column counts connections by what ALPN "
           "settled, so a fallback shows.\n"
           "- The socket is read one TLS record at a time, each read with the kernel receive "
           "time (SO_TIMESTAMPNS) of the segment that completed the record; the record is "
           "decrypted through memory buffers and its plaintext carries that time into an "
           "nghttp2 server session. An HTTP/2 request arrives with the record that completed "
           "it: its HEADERS when they end the stream, else the frame that ends it.\n"
           "- The HTTP/1.1 engine row opens its connections max(3 s, 6 ms × N) ahead, with a "
           "connect time-out half a second shorter than that: this one-thread receiver signs "
           "every handshake (RSA) and on a busy machine does not get through a thousand "
           "started at once within the shipped 3 s lead and 2 s time-out.\n"
           "- The receiver announces SETTINGS_MAX_CONCURRENT_STREAMS 128, except for the "
           "single-write floor, which puts all N streams on its one connection and is "
           "allowed N.\n"
           "- Single-write floor: HEADERS of all N requests framed ahead by an nghttp2 client "
           "session; at the instant one SSL_write of all of them into memory and one send of "
           "the records.\n"
           "- Errors: requests that failed, were answered with anything but the receiver's "
           "page, or never arrived. Protocol errors: failed handshakes, TLS errors and "
           "HTTP/2 errors the receiver's session counted.\n"
           "- At N = 100 the four modes take turns for as many runs as `--runs` asks (20 by "
           "default), so that a burst of load on the machine falls on all of them; at N = 1000 "
           "every mode runs three times. The run with the median spread is the row (of equal "
           "spreads, the median fire lag); the column beside the fire lag gives the median and "
           "the worst fire lag over all of the row's runs, and the notes every run's in order.\n"
           "- Engine and floors wait for the instant alike: sleeps with no timer slack and a "
           "short scheduling slice (`PreciseWakeups`), then the last 0.3 ms spun.\n";
}

}  // namespace

std::string h2Section(int runs) {
    const std::string loadBefore = loadAverage();
    H2Receiver rx(TlsFiles{kTlsDir + "/server.pem", kTlsDir + "/server.key"});
    std::vector<Row> rows;
    if (!rx.ready()) {
        std::fprintf(stderr, "the HTTP/2 receiver could not start\n");
    }
    for (int n : rx.ready() ? std::vector<int>{100, 1000} : std::vector<int>{}) {
        const std::vector<std::function<Row()>> ways = {
            [&] { return engine(rx, n, Mode::Wave); },
            [&] { return engine(rx, n, Mode::Http1Engine); }, [&] { return socketFloor(rx, n); },
            [&] { return h2Floor(rx, n); }};
        for (Row& row : inTurns<Row>(n == 100 ? runs : kRepeats, ways)) {
            rows.push_back(std::move(row));
        }
    }
    std::ostringstream out;
    out << sectionHeader(kH2Heading, "Machine: " + machine() + "  \n", loadBefore, loadAverage())
        << "\n\n";
    writeRows(out, rows);
    writeTargets(out, rows);
    writeNotes(out);
    return out.str();
}

}  // namespace vellicor::bench
