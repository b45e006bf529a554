// The first arrival of a timed run across a lossy path: a path emulated between two network
// namespaces (path_emulator.h: 15 ms each way, random loss per packet each way), the HTTP/2
// benchmark's TLS receiver on its far side, the tool on its near side. Per loss, timed runs
// of 100 requests by the HTTP/2 wave and by HTTP/1.1 (a connection per request), the two ways
// taking turns, each turn aimed on a fresh reading of the mall's clock as a timed run takes
// one. A request arrives when the mall could first read it whole: the receiver stamps each
// read with the moment it returned, not the kernel's receive time, which after a
// retransmission is that of the segments that came ahead of the lost one.
//
// vellicor-bench-lossy [--runs R] [--seed S]   (R = 20 turns per loss unless told; S seeds
// the loss). Making the namespaces needs root. Rewrites the section "# Across a lossy path"
// of bench/RESULTS.md, and only it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include "bench_common.h"
#include "far_certificate.h"
#include "h2_receiver.h"
#include "mall/aim.h"
#include "mall/clock_sync.h"
#include "mall/exchange_run.h"
#include "mall/preopen.h"
#include "path_emulator.h"
#include "web/transfer.h"

namespace vellicor::bench {
namespace {

using std::chrono::seconds;

const char* const kHeading = "# Across a lossy path";
constexpr int kN = 100;
constexpr double kWayMs = 15;
constexpr double kLateMs = 5;  // a first arrival later than this after the opening is late
constexpr double kLosses[] = {0.0, 0.01, 0.03};

enum class Way { Wave, Http1 };

const char* nameOf(Way way) {
    return way == Way::Wave ? "HTTP/2 wave" : "HTTP/1.1, a connection per request";
}

struct Run {
    std::string error;          // why the run counts for nothing (no estimate, nothing arrived)
    double firstMs = 0;         // first arrival minus the opening
    double lastMs = 0;          // last arrival minus the opening
    double pastSendMs = 0;      // first arrival less the aimed send and the way
    int early = 0;              // requests that arrived before the opening
    int arrived = 0;            // exchange requests the receiver read
    int failed = 0;             // workers whose request got no answer
    std::uint64_t dropped = 0;  // packets the path dropped during the run, both ways
};

struct Cell {
    double loss = 0;
    Way way = Way::Wave;
    std::vector<Run> runs;
    std::string protocolLine;  // the first run's line on how it sends at the instant
};

struct Setup {
    H2Receiver& rx;
    const FarCertificate& cert;
    const test::PathEmulator& path;
};

Config configFor(const Setup& s, Way way) {
    Config config = Config::defaults().withPortal(s.rx.base());
    config.http.caFile = s.cert.authority;
    config.http.version = way == Way::Wave ? HttpVersion::Http2 : HttpVersion::Http1_1;
    config.exchange.maxConnectionsPerHost = 2000;
    config.exchange.retryWindowMs = 0;  // one request per worker: the wave itself
    return config;
}

// The first line of the run's log that says how it sends at the instant; the whole log
// in `all`, to be shown when the run fails.
LogSink protocolSink(std::mutex& mutex, std::string& line, std::string& all) {
    return [&mutex, &line, &all](const std::string& text) {
        std::lock_guard lock(mutex);
        all += text;
        if (line.empty() && (text.find("HTTP/2，") != std::string::npos ||
                             text.find("HTTP/1.1，") != std::string::npos)) {
            line = text.substr(0, text.find_last_not_of("\r\n") + 1);
        }
    };
}

// One timed run aimed by `estimate` at the first whole second on the mall's clock (the
// receiver's Date is the real clock) that leaves the shipped lead and a little more.
Run timedRun(const Setup& s, Way way, const Result<mall::OffsetEstimate>& estimate,
             std::string& protocolLine) {
    Run run;
    if (!estimate) {
        run.error = "no estimate: " + estimate.error().message;
        return run;
    }
    s.rx.offerH2(way == Way::Wave);
    s.rx.setMaxStreams(128);  // what a mall commonly allows
    s.rx.clear();
    const Config config = configFor(s, way);
    const Clock& clock = SystemClock::instance();
    const auto ahead = clock.wallNow().time_since_epoch() +
                       std::chrono::milliseconds(config.timer.preopenLeadMs + 400);
    const auto opening = std::chrono::ceil<seconds>(ahead);
    const mall::FiringAim aim = mall::aimFiring(config, clock, estimate, Clock::WallTime(opening));
    mall::RunOptions options;
    options.fireAt = aim.fireAt;
    std::mutex mutex;
    std::string log;
    const std::uint64_t droppedBefore = s.path.dropped();
    auto exchange = mall::ExchangeRun::start(planOf(kN), config, clock,
                                             protocolSink(mutex, protocolLine, log), {}, options);
    exchange->wait();
    run.dropped = s.path.dropped() - droppedBefore;
    run.failed = kN - exchange->summary().items.at(0).count(mall::OutcomeKind::SoldOut);
    if (run.failed > 0) {
        std::fprintf(stderr, "a run with requests unanswered logged:\n%s\n", log.c_str());
    }
    auto arrivals = s.rx.arrivals();
    run.arrived = static_cast<int>(arrivals.size());
    if (arrivals.empty()) {
        run.error = "no request arrived";
        return run;
    }
    const std::int64_t openingNs = std::chrono::nanoseconds(opening).count();
    std::sort(arrivals.begin(), arrivals.end());
    run.firstMs = ms(arrivals.front() - openingNs);
    run.lastMs = ms(arrivals.back() - openingNs);
    const auto sentNs = std::chrono::nanoseconds(aim.sendAt.time_since_epoch()).count();
    run.pastSendMs = ms(arrivals.front() - sentNs) - kWayMs;
    run.early = static_cast<int>(std::count_if(arrivals.begin(), arrivals.end(),
                                               [&](std::int64_t t) { return t < openingNs; }));
    return run;
}

void report(double loss, Way way, int turn, const Run& r) {
    std::fprintf(stderr,
                 "loss %.0f%%, %s, turn %d: first %.3f, last %.3f ms, %d early, %d/%d "
                 "arrived, %d failed, %llu dropped%s%s\n",
                 loss * 100, nameOf(way), turn + 1, r.firstMs, r.lastMs, r.early, r.arrived, kN,
                 r.failed, static_cast<unsigned long long>(r.dropped), r.error.empty() ? "" : ": ",
                 r.error.c_str());
}

// The per-socket floor across the path: kN TLS connections to the receiver opened ahead,
// one byte written on each at the instant, in a row, each arriving on its own.
struct Floor {
    std::vector<double> spreads;  // last arrival minus first, one per run
    int errors = 0;               // runs where a connection or a byte failed
};

// One run of the floor; its spread, or a negative number when it failed.
double floorRun(const Setup& s, SSL_CTX* ctx) {
    s.rx.offerH2(false);
    s.rx.clear();
    std::vector<std::pair<int, SSL*>> links;
    for (int i = 0; i < kN; ++i) {
        const int fd = connectTo(test::PathEmulator::kFarAddress, s.rx.port());
        if (fd < 0) {
            break;
        }
        SSL* ssl = SSL_new(ctx);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), test::PathEmulator::kFarAddress);
        SSL_set_fd(ssl, fd);
        links.emplace_back(fd, ssl);
        if (SSL_connect(ssl) != 1) {
            break;
        }
    }
    bool ok = links.size() == static_cast<std::size_t>(kN);
    if (ok) {
        const Instant at = instantIn(std::chrono::milliseconds(500));
        const PreciseWakeups sharp;
        mall::waitPrecisely(SystemClock::instance(), at.steady, {});
        for (const auto& [fd, ssl] : links) {
            ok = SSL_write(ssl, "X", 1) == 1 && ok;
        }
    }
    // The bytes cross the path in some tens of milliseconds; a second covers a lost one's
    // retransmission too.
    const auto until = std::chrono::steady_clock::now() + seconds(2);
    while (ok && s.rx.arrivals().size() < links.size() &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (const auto& [fd, ssl] : links) {
        SSL_free(ssl);
        close(fd);
    }
    ERR_clear_error();
    auto arrivals = s.rx.arrivals();
    if (!ok || arrivals.size() != static_cast<std::size_t>(kN)) {
        return -1;
    }
    std::sort(arrivals.begin(), arrivals.end());
    return ms(arrivals.back() - arrivals.front());
}

Floor measureFloor(const Setup& s, int turns) {
    Floor floor;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx, s.cert.authority.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    for (int turn = 0; turn < turns; ++turn) {
        const double spread = floorRun(s, ctx);
        std::fprintf(stderr, "loss 0%%, per-socket floor, turn %d: spread %.3f ms\n", turn + 1,
                     spread);
        if (spread < 0) {
            ++floor.errors;
        } else {
            floor.spreads.push_back(spread);
        }
    }
    SSL_CTX_free(ctx);
    return floor;
}

// Every loss in turn; at each, `turns` turns of one estimate and a run of each way on it,
// the way that goes first alternating.
std::vector<Cell> measure(const Setup& s, test::PathEmulator& path, int turns, Floor& floor) {
    std::vector<Cell> cells;
    for (const double loss : kLosses) {
        path.setUp({kWayMs, 0, loss});
        path.setDown({kWayMs, 0, loss});
        Cell wave{loss, Way::Wave, {}, {}};
        Cell http1{loss, Way::Http1, {}, {}};
        for (int turn = 0; turn < turns; ++turn) {
            s.rx.offerH2(true);
            const auto estimate =
                mall::timerEstimate(configFor(s, Way::Wave), SystemClock::instance());
            for (Cell* cell :
                 turn % 2 == 0 ? std::vector{&wave, &http1} : std::vector{&http1, &wave}) {
                cell->runs.push_back(timedRun(s, cell->way, estimate, cell->protocolLine));
                report(loss, cell->way, turn, cell->runs.back());
            }
        }
        if (loss == 0) {
            floor = measureFloor(s, turns);
        }
        cells.push_back(std::move(wave));
        cells.push_back(std::move(http1));
    }
    return cells;
}

struct Tally {
    int good = 0;
    int late = 0;    // runs whose first arrival came more than kLateMs after the opening
    int early = 0;   // runs with a request before the opening
    int failed = 0;  // requests, over every run
    int errors = 0;  // runs that count for nothing
    double firstMedian = 0, firstWorst = 0, lastMedian = 0, pastSendMedian = 0;
    std::uint64_t droppedMedian = 0;
};

template <typename T>
T median(std::vector<T> v) {
    if (v.empty()) {
        return T{};
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Tally tally(const Cell& cell) {
    Tally t;
    std::vector<double> firsts, lasts, pastSend;
    std::vector<std::uint64_t> dropped;
    for (const Run& r : cell.runs) {
        if (!r.error.empty()) {
            ++t.errors;
            continue;
        }
        ++t.good;
        t.late += r.firstMs > kLateMs ? 1 : 0;
        t.early += r.early > 0 ? 1 : 0;
        t.failed += r.failed;
        firsts.push_back(r.firstMs);
        lasts.push_back(r.lastMs);
        pastSend.push_back(r.pastSendMs);
        dropped.push_back(r.dropped);
    }
    t.firstMedian = median(firsts);
    t.firstWorst = firsts.empty() ? 0 : *std::max_element(firsts.begin(), firsts.end());
    t.lastMedian = median(lasts);
    t.pastSendMedian = median(pastSend);
    t.droppedMedian = median(dropped);
    return t;
}

std::string percent(double loss) {
    return fmt("%.0f", loss * 100) + "%";
}

// The firing benchmark's row on the wave's loopback spread, as its last run wrote it.
std::string loopbackSpread(const std::string& results) {
    const std::string row = "| HTTP/2 wave spread / per-socket floor's";
    const std::size_t at = results.find("\n" + row);
    if (at == std::string::npos) {
        return "not in this file (run `vellicor-bench-firing`)";
    }
    const std::size_t end = results.find('\n', at + 1);
    return "`" + results.substr(at + 1, end - at - 1) + "`";
}

// The wave's spread at no loss against the floor's, both as the median of their runs.
void writeFloorTarget(std::ostream& out, const std::vector<Cell>& cells, const Floor& floor) {
    const Cell* wave = nullptr;
    for (const Cell& c : cells) {
        wave = c.loss == 0 && c.way == Way::Wave ? &c : wave;
    }
    std::vector<double> spreads;
    for (const Run& r : wave != nullptr ? wave->runs : std::vector<Run>{}) {
        if (r.error.empty()) {
            spreads.push_back(r.lastMs - r.firstMs);
        }
    }
    const double waveSpread = median(spreads);
    const double floorSpread = median(floor.spreads);
    const bool counted = !spreads.empty() && !floor.spreads.empty() && floor.errors == 0;
    const double ratio = counted && floorSpread > 0 ? waveSpread / floorSpread : 0;
    out << "| at 0% loss the wave's spread within 0.2x the per-socket floor's (medians "
        << fmt("%.3f", waveSpread) << " / " << fmt("%.3f", floorSpread) << " ms) | "
        << fmt("%.2f", ratio) << "x"
        << (floor.errors > 0 ? " (" + std::to_string(floor.errors) + " floor runs failed)"
                             : std::string())
        << " | " << verdict(counted && ratio <= 0.2) << " |\n";
}

void writeTargets(std::ostream& out, const std::vector<Cell>& cells) {
    out << "\n## Targets across a lossy path (from this run)\n\n"
           "| target | value | verdict |\n|---|---|---|\n";
    int early = 0;
    bool allGood = true;
    for (std::size_t i = 0; i + 1 < cells.size(); i += 2) {
        const Tally wave = tally(cells[i]);
        const Tally http1 = tally(cells[i + 1]);
        early += wave.early + http1.early;
        allGood = allGood && wave.errors == 0 && http1.errors == 0;
        if (cells[i].loss == 0) {
            continue;
        }
        const bool met = wave.errors == 0 && http1.errors == 0 && wave.late <= http1.late;
        out << "| at " << percent(cells[i].loss)
            << " loss the wave has no more late runs than HTTP/1.1 | " << wave.late << " of "
            << wave.good << " against " << http1.late << " of " << http1.good << " | "
            << verdict(met) << " |\n";
    }
    out << "| no run puts a request before the opening (every cell) | " << early << " runs | "
        << verdict(allGood && early == 0) << " |\n";
}

// How the series was run, for the section's header.
struct Series {
    int turns = 0;
    std::uint64_t seed = 0;
    std::string placement;
    std::string loadBefore;
    double tookSeconds = 0;
};

std::string section(const std::vector<Cell>& cells, const Floor& floor, const Series& series,
                    const std::string& results) {
    std::ostringstream out;
    out << sectionHeader(
               kHeading,
               "`build/dev/bin/vellicor-bench-lossy [--runs R] [--seed S]`: the HTTP/2 section's "
               "TLS receiver across an emulated path, 15 ms each way, random loss per packet "
               "each way; timed runs of " +
                   std::to_string(kN) + " requests of one item, aimed on the mall's clock; " +
                   series.placement + ".  \nMachine: " + machine() + "  \n",
               series.loadBefore, loadAverage())
        << "; " << series.turns << " runs per cell, loss seed " << series.seed << ", "
        << fmt("%.0f", series.tookSeconds) << " s in all.\n\n"
        << "| loss each way | way | runs | first arrival after the opening, median / worst ms | "
           "runs with the first > 5 ms after the opening | runs with a request before the "
           "opening | last arrival, median ms | first arrival less the aimed send and 15 ms, "
           "median "
           "ms | requests unanswered | packets dropped per run, median "
           "|\n|---|---|---|---|---|---|---|---|---|---|\n";
    for (const Cell& c : cells) {
        const Tally t = tally(c);
        out << "| " << percent(c.loss) << " | " << nameOf(c.way) << " | " << t.good
            << (t.errors > 0 ? " (+" + std::to_string(t.errors) + " failed)" : std::string())
            << " | " << fmt("%.3f", t.firstMedian) << " / " << fmt("%.3f", t.firstWorst) << " | "
            << t.late << " | " << t.early << " | " << fmt("%.3f", t.lastMedian) << " | "
            << fmt("%.3f", t.pastSendMedian) << " | " << t.failed << " | " << t.droppedMedian
            << " |\n";
    }
    out << "\n";
    for (const Cell& c : cells) {
        std::string firsts;
        for (const Run& r : c.runs) {
            firsts += (firsts.empty() ? "" : ", ") +
                      (r.error.empty() ? fmt("%.3f", r.firstMs) : "failed (" + r.error + ")");
        }
        out << "- " << percent(c.loss) << ", " << nameOf(c.way)
            << ": first arrival of each run, in order: " << firsts << " ms\n";
    }
    writeTargets(out, cells);
    writeFloorTarget(out, cells, floor);
    out << "\nOn loopback the wave's spread against the per-socket floor is the firing "
           "benchmark's (`vellicor-bench-firing`, \"# HTTP/2 over TLS\"); its last run: "
        << loopbackSpread(results) << ".\n";
    out << "\nHow the instant went, as each way's first run at each loss logged it:\n\n";
    for (const Cell& c : cells) {
        out << "- " << percent(c.loss) << ", " << nameOf(c.way) << ": "
            << (c.protocolLine.empty() ? "(no line)" : c.protocolLine) << "\n";
    }
    out << "\n### How the lossy-path numbers are taken\n\n"
           "- The path: two network namespaces joined through TUN devices (MTU 1500) by the "
           "tests' forwarder (`tests/support/path_emulator.h`), 15 ms each way, no jitter, each "
           "packet dropped at random with the cell's chance in each direction, seeded.\n"
           "- The mall: the HTTP/2 section's TLS receiver (one epoll thread, ALPN h2 for the "
           "wave, http/1.1 only for HTTP/1.1, SETTINGS_MAX_CONCURRENT_STREAMS 128) on the far "
           "side, with a certificate for its address issued for the run; its Date is the real "
           "clock, so the opening is the set second itself.\n"
           "- Arrival: the moment the receiver's read that returned a request's last byte came "
           "back (HTTP/2: the record completing the stream's HEADERS), on the real clock. Not "
           "the kernel's receive stamp: after a retransmission the read carries the stamp of "
           "segments that came ahead of the lost one, and the wait disappears from the "
           "figures. The receiver reads every readable connection before it decrypts and "
           "answers the next one, so its answers to one connection never date another's "
           "requests late.\n"
           "- Placement: the forwarders (the path) on one processor; the tool and the "
           "receiver on the other, which is idle while the requests cross the path. On one "
           "processor with the forwarders, which run ahead of it, the receiver read nothing "
           "of a burst until the forwarder had handed on all of it, and dated HTTP/1.1's first "
           "request and the floor's bytes up to 0.8 ms late; with the tool's writes beside the "
           "forwarders, the floor spread wider than the writes themselves.\n"
           "- A turn: `mall::timerEstimate` reads the mall's clock across the lossy path, then "
           "one run of each way (the way going first alternating), each aimed by "
           "`mall::aimFiring` on that estimate (`timer.aim = arrival`, the default) at the "
           "first whole second at least the lead and 0.4 s ahead. A run: `ExchangeRun`, 100 "
           "workers on one item, one account, connections opened the shipped 3 s ahead, no "
           "retries, so each worker sends once.\n"
           "- The per-socket floor, at 0% loss only: as many TLS connections as a run has "
           "requests, opened across the path ahead, and one byte written on each at an "
           "instant, one after another, the receiver stamping each byte's read; its spread, "
           "last arrival less first, against the wave's own at 0% loss, as the medians of their "
           "runs.\n"
           "- Late: a run whose first arrival came more than 5 ms after the opening. Before the "
           "opening: a run with any request arriving before it. First arrival less the aimed "
           "send and 15 ms: what the send and the path added, apart from the aim (`aimFiring`'s "
           "`sendAt`). Packets dropped: by the forwarder during the run, both ways (handshakes "
           "and answers included).\n"
           "- The receiver's Date is read from the real clock, not `time()`, whose second "
           "changes up to a scheduler tick late: a mall dating that way has every timed run "
           "aimed that much late (about 4 ms here).\n";
    return out.str();
}

int benchMain(int argc, char** argv) {
    int turns = 20;
    std::uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string_view(argv[i]) == "--runs") {
            turns = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::string_view(argv[i]) == "--seed") {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    web::ensureCurlReady();
    const std::string loadBefore = loadAverage();
    const auto began = std::chrono::steady_clock::now();
    auto cert = makeCertificate(test::PathEmulator::kFarAddress);
    if (!cert) {
        std::fprintf(stderr, "%s\n", cert.error().message.c_str());
        return 1;
    }
    // The path is the network, not the tool's processor: its forwarders, started here, stay
    // on the second processor, everything else on the first. The receiver shares the tool's,
    // which idles while the requests cross the path; beside the forwarders, which run ahead
    // of it, it would read nothing until a burst of packets had all been handed on.
    const bool apart = pinToProcessor(1);
    test::PathOptions options;
    options.up = options.down = {kWayMs, 0, 0};
    options.seed = seed;
    options.lifetime = std::chrono::hours(3);
    auto path = test::PathEmulator::start(options);
    const bool pathApart = apart && pinToProcessor(0);
    if (!path) {
        std::fprintf(stderr, "no emulated path: %s\n", path.error().message.c_str());
        removeCertificate(*cert);
        return 1;
    }
    std::unique_ptr<H2Receiver> rx;
    (*path)->onFar([&] {
        rx = std::make_unique<H2Receiver>(TlsFiles{cert->certificate, cert->key},
                                          Listening{test::PathEmulator::kFarAddress, true});
    });
    if (!rx->ready()) {
        std::fprintf(stderr, "the receiver could not start\n");
        removeCertificate(*cert);
        return 1;
    }
    const std::string placement =
        pathApart ? "the forwarders on processor 1, the tool and the receiver on processor 0"
                  : "the forwarders, the tool and the receiver sharing the processors";
    std::vector<Cell> cells;
    Floor floor;
    const Setup setup{*rx, *cert, **path};
    (*path)->onNear([&] { cells = measure(setup, **path, turns, floor); });
    rx.reset();
    removeCertificate(*cert);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::string results = readResults(VELLICOR_RESULTS_FILE);
    const std::string text =
        section(cells, floor, {turns, seed, placement, loadBefore, took}, results);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::ofstream(VELLICOR_RESULTS_FILE) << replaceSection(results, kHeading, text);
    return 0;
}

}  // namespace
}  // namespace vellicor::bench

int main(int argc, char** argv) {
    return vellicor::bench::benchMain(argc, argv);
}
