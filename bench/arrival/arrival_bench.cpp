// When the requests of a timed run reach the mall, against the in-process portal simulator
// across emulated paths (path_emulator.h: network namespaces joined by TUN devices, so the
// kernels see the way; no jitter, no loss) and two mall clock offsets: for each, the
// mall's clock is estimated as a timed run does (timerEstimate), then N requests of one item
// are aimed with mall::aimFiring at a set second a few seconds ahead on the mall's clock,
// once with `timer.aim = arrival` (the default) and once with `send`, both on that estimate.
// The simulator's log gives each request's arrival at the mall (kernel receive time past the
// path, real clock); the opening is the set second on the simulator's offset clock. Prints
// the table and rewrites the section "## Arrival at the mall" of bench/RESULTS.md, and only
// it.
//
// vellicor-bench-arrival [--repeats R]   (3 unless told; each row is the median run). Making
// the namespaces needs root.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/results_section.h"
#include "mall/aim.h"
#include "mall/clock_sync.h"
#include "mall/exchange_controller.h"
#include "mall/outcome.h"
#include "path_emulator.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "portal/server.h"
#include "schedule/time_of_day.h"
#include "web/transfer.h"

namespace vellicor::bench {
namespace {

using std::chrono::duration_cast;
using std::chrono::nanoseconds;
using std::chrono::seconds;

constexpr const char* kHeading = "## Arrival at the mall";
constexpr const char* kCookies = "uin=o10001; skey=arrivalbench";
constexpr const char* kExchange = "/mall/index.php?op=exchangeing";
constexpr const char* kItem = "cf-rename";
constexpr int kRequests = 100;
// Connections are opened this long before the instant. The shipped 3 s would add four
// seconds of waiting to every run; one second still covers both looks at idle connections
// (300 ms and 20 ms before the instant) and opens 100 loopback connections with room to spare.
constexpr long kLeadMs = 1000;

struct Path {
    double upMs;
    double downMs;
};

// The mall's work on each page and when it stamps its Date; `quick` gives the static file
// the estimate also probes no work, so that one address is answered at once; `bare` makes
// "OPTIONS *" as slow, so that no address is.
struct Work {
    double ms = 0;
    bool departure = false;
    bool quick = false;
    bool bare = false;
};

struct Case {
    Path path;
    double offsetMs;  // the mall's clock minus the real one
    TimerAim aim;
    Work work;
};

std::string workName(const Work& w) {
    if (w.ms == 0) {
        return "none";
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f ms, dated on %s%s", w.ms,
                  w.departure ? "departure" : "arrival",
                  w.quick  ? ", a quick address"
                  : w.bare ? ", no address answered at once"
                           : "");
    return buf;
}

// One timed run as the simulator saw it.
struct Run {
    std::string error;
    double firstMs = 0;  // first arrival minus the opening
    double lastMs = 0;   // last arrival minus the opening
    int early = 0;       // arrivals before the opening
    int notOpen = 0;     // answers "not open yet" (the mall's own verdict)
    int arrived = 0;
    int failed = 0;
    double sendLagMs = 0;  // first request's bytes in at the mall, less upMs, minus the aimed send
    std::vector<std::string> lines;  // the run's first log lines, shown when it was late
    std::string aimLine;             // aimFiring's arming line
    double boundMs = 0;  // width of the bound the aim goes by (arrival: A's; send: the offset's)
    double overMs = 0;   // its upper end less the truth (how late that bound aims)
    int probes = 0;
};

nanoseconds ms(double value) {
    return duration_cast<nanoseconds>(std::chrono::duration<double, std::milli>(value));
}

double toMs(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

std::string scenario(const Path& path, double offsetMs, const Work& work,
                     const std::string& extra) {
    // The way is the emulated path's: the simulator adds none.
    (void)path;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  R"({"sessions": {"10001": "arrivalbench"}, "clockOffsetMs": %.3f, )"
                  R"("work": {"ms": %.3f, "dateAt": "%s"%s}%s)",
                  offsetMs, work.ms, work.departure ? "departure" : "arrival",
                  work.quick ? R"(, "prefixes": {"/favicon.ico": 0})" : "",
                  work.bare ? R"(, "faults": {"*": {"mode": "delay", "delayMs": 30}})" : "");
    return buf + extra + "}";
}

const char* aimName(TimerAim aim) {
    return aim == TimerAim::Arrival ? "arrival" : "send";
}

// A timed run of kRequests requests aimed with `c.aim` on `estimate`, fired at the first
// whole second on the mall's clock that leaves the lead and a little more.
Run timedRun(portal::Server& server, const Case& c, const Result<mall::OffsetEstimate>& estimate) {
    Run run;
    const Clock& clock = SystemClock::instance();
    const auto mallNow = Clock::WallTime(std::chrono::system_clock::now()) + ms(c.offsetMs);
    const auto ahead = mallNow.time_since_epoch() + ms(static_cast<double>(kLeadMs) + 400);
    const std::int64_t opening = std::chrono::ceil<seconds>(ahead).count();
    const auto status = server.setScenario(
        scenario(c.path, c.offsetMs, c.work,
                 R"(, "itemDefaults": {"price": 0, "stock": 100000, "opensAtEpochMs": )" +
                     std::to_string(opening * 1000) + "}"));
    if (!status.ok()) {
        run.error = status.error().message;
        return run;
    }
    const std::int64_t openingReal = (seconds(opening) - ms(c.offsetMs)).count();

    Config config = Config::defaults().withPortal(server.baseUrl());
    config.timer.preopenLeadMs = kLeadMs;
    config.timer.aim = c.aim;
    config.exchange.retryWindowMs = 0;  // one request per worker: the wave itself
    const mall::FiringAim aim =
        mall::aimFiring(config, clock, estimate, Clock::WallTime(seconds(opening)));
    run.aimLine = aim.line.substr(0, aim.line.find('\r'));
    server.clearLog();
    std::mutex linesMutex;
    mall::ExchangeController controller(config, clock, [&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        if (run.lines.size() < 12) {
            run.lines.push_back(line);
        }
    });
    mall::RunOptions options;
    options.fireAt = aim.fireAt;
    if (!controller.start({kItem}, std::to_string(kRequests), vellicor::web::oneAccount(kCookies),
                          options)) {
        run.error = "the run did not start";
        return run;
    }
    controller.wait();
    const auto summary = controller.lastSummary().value_or(mall::RunSummary{});
    if (!summary.items.empty()) {
        run.notOpen = summary.items[0].count(mall::OutcomeKind::NotOpen);
        run.failed = summary.items[0].count(mall::OutcomeKind::Failed);
    }
    std::vector<std::int64_t> arrivals;
    for (const auto& r : server.log()) {
        if (r.target.starts_with(kExchange)) {
            arrivals.push_back(r.arrivalNanos);
        }
    }
    run.arrived = static_cast<int>(arrivals.size());
    if (arrivals.empty()) {
        run.error = "no request arrived";
        return run;
    }
    std::sort(arrivals.begin(), arrivals.end());
    run.firstMs = toMs(arrivals.front() - openingReal);
    run.lastMs = toMs(arrivals.back() - openingReal);
    run.early = static_cast<int>(std::count_if(arrivals.begin(), arrivals.end(),
                                               [&](std::int64_t t) { return t < openingReal; }));
    const std::int64_t sendAt = duration_cast<nanoseconds>(aim.sendAt.time_since_epoch()).count();
    run.sendLagMs = toMs(arrivals.front() - ms(c.path.upMs).count() - sendAt);
    return run;
}

// One estimate, then a run with each aim on it, on the tool's side of the path.
void measureNear(portal::Server& server, const Path& path, double offsetMs, const Work& work,
                 std::vector<Run>& runs) {
    Config config = Config::defaults().withPortal(server.baseUrl());
    const auto estimate = mall::timerEstimate(config, SystemClock::instance());
    if (!estimate) {
        runs[0].error = runs[1].error = estimate.error().message;
        return;
    }
    // local − mall, and that less the way there.
    const nanoseconds trueAhead = -ms(offsetMs);
    const nanoseconds trueA = trueAhead - ms(path.upMs);
    for (int i = 0; i < 2; ++i) {
        const TimerAim aim = i == 0 ? TimerAim::Arrival : TimerAim::Send;
        runs[i] = timedRun(server, Case{path, offsetMs, aim, work}, estimate);
        if (aim == TimerAim::Arrival) {
            runs[i].boundMs = toMs((estimate->arrivalUpper - estimate->arrivalLower).count());
            runs[i].overMs = toMs((estimate->arrivalUpper - trueA).count());
        } else {
            runs[i].boundMs = toMs((estimate->upper - estimate->lower).count());
            runs[i].overMs = toMs((estimate->upper - trueAhead).count());
        }
        runs[i].probes = estimate->probes;
    }
}

std::vector<Run> measureRow(const Path& path, double offsetMs, const Work& work) {
    std::vector<Run> runs(2);
    test::PathOptions options;
    options.up.delayMs = path.upMs;
    options.down.delayMs = path.downMs;
    options.lifetime = seconds(60);
    auto emulated = test::PathEmulator::start(options);
    if (!emulated) {
        runs[0].error = runs[1].error = "no emulated path: " + emulated.error().message;
        return runs;
    }
    std::unique_ptr<portal::Server> server;
    (*emulated)->onFar([&] {
        portal::ServerOptions so;
        so.scenarioJson = scenario(path, offsetMs, work, {});
        so.host = test::PathEmulator::kFarAddress;
        auto started = portal::Server::start(so);
        if (started) {
            server = std::move(started).value();
        } else {
            runs[0].error = runs[1].error = started.error().message;
        }
    });
    if (server) {
        (*emulated)->onNear([&] { measureNear(*server, path, offsetMs, work, runs); });
    }
    return runs;
}

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

struct RowResult {
    Case c;
    std::vector<Run> runs;  // every repeat
    Run median;             // the run with the median first arrival
    int earlyAll = 0;       // arrivals before the opening, over every run
    bool ok = true;
};

RowResult summarise(const Case& c, std::vector<Run> runs) {
    RowResult r{c, runs, {}, 0, true};
    std::vector<Run> good;
    for (const Run& run : runs) {
        r.earlyAll += run.early;
        if (run.error.empty()) {
            good.push_back(run);
        } else {
            r.ok = false;
        }
    }
    if (good.empty()) {
        r.median = runs.empty() ? Run{} : runs[0];
        return r;
    }
    std::sort(good.begin(), good.end(),
              [](const Run& a, const Run& b) { return a.firstMs < b.firstMs; });
    r.median = good[good.size() / 2];
    return r;
}

std::string section(const std::vector<RowResult>& rows, int repeats, const std::string& loadBefore,
                    const std::string& loadAfter, double tookSeconds) {
    std::ostringstream out;
    const std::string about =
        "`build/dev/bin/vellicor-bench-arrival`: timed runs of " + std::to_string(kRequests) +
        " requests of one item against the portal simulator in process, across emulated paths "
        "and mall clock offsets, aimed with `mall::aimFiring` on the run's own clock estimate "
        "(`timerEstimate`).  \n";
    out << sectionHeader(kHeading, about, loadBefore, loadAfter) << "; " << repeats << " run"
        << (repeats == 1 ? "" : "s") << " per row, " << fmt("%.0f", tookSeconds)
        << " s in all.\n\n";
    out << "| path up/down ms | mall offset ms | the mall's work | aim | first arrival ms | last "
           "arrival ms | "
           "before the opening | answered \"not yet\" | arrived | first write after the aimed "
           "send ms | aimed by: bound width ms | its upper end past the truth ms | first "
           "arrival of each run ms |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const RowResult& r : rows) {
        const Run& m = r.median;
        std::string firsts;
        for (const Run& run : r.runs) {
            firsts += (firsts.empty() ? "" : ", ") +
                      (run.error.empty() ? fmt("%.3f", run.firstMs) : "failed: " + run.error);
        }
        out << "| " << fmt("%.0f", r.c.path.upMs) << "/" << fmt("%.0f", r.c.path.downMs) << " | "
            << fmt("%+.0f", r.c.offsetMs) << " | " << workName(r.c.work) << " | "
            << aimName(r.c.aim) << " | " << fmt("%.3f", m.firstMs) << " | " << fmt("%.3f", m.lastMs)
            << " | " << m.early << " | " << m.notOpen << " | " << m.arrived << "/" << kRequests
            << " | " << fmt("%.3f", m.sendLagMs) << " | " << fmt("%.3f", m.boundMs) << " | "
            << fmt("%.3f", m.overMs) << " | " << firsts << " |\n";
    }
    // Targets, `arrival` rows only: none before the opening anywhere; the first request within
    // 1 ms after it where the way alone can be told (no work, or a quick address), within the
    // work and 1 ms where every address is worked on.
    struct Target {
        const char* what;
        double latestMs;
        std::function<bool(const Work&)> takes;
        double best = 1e9;
        double worst = -1e9;
        bool ok = true;
    };
    std::vector<Target> targets = {
        {"no work: first arrival 0–1 ms after the opening", 1.0,
         [](const Work& w) { return w.ms == 0; }},
        {"30 ms of work, dated on arrival or departure: first arrival 0–31 ms", 31.0,
         [](const Work& w) { return w.ms > 0 && !w.quick; }},
        {"30 ms of work, a quick address: first arrival 0–1 ms", 1.0,
         [](const Work& w) { return w.quick; }},
        {"30 ms work, dated on departure, no address answered at once: 0 early, first ≤ 31 ms",
         31.0, [](const Work& w) { return w.bare; }},
    };
    int earlyMedian = 0;
    int earlyAll = 0;
    double worstAnyRun = -1e9;
    bool allOk = true;
    for (const RowResult& r : rows) {
        if (r.c.aim != TimerAim::Arrival) {
            continue;
        }
        allOk = allOk && r.ok;
        earlyMedian += r.median.early;
        earlyAll += r.earlyAll;
        for (Target& t : targets) {
            if (t.takes(r.c.work)) {
                t.ok = t.ok && r.ok;
                t.best = std::min(t.best, r.median.firstMs);
                t.worst = std::max(t.worst, r.median.firstMs);
            }
        }
        for (const Run& run : r.runs) {
            if (run.error.empty()) {
                worstAnyRun = std::max(worstAnyRun, run.firstMs);
            }
        }
    }
    out << "\n### Targets (from this run)\n\n"
        << "| target (`arrival`, the rows) | value | verdict |\n|---|---|---|\n";
    for (const Target& t : targets) {
        const bool met = t.ok && t.best >= 0 && t.worst <= t.latestMs;
        out << "| " << t.what << " | " << fmt("%.3f", t.best) << "–" << fmt("%.3f", t.worst)
            << " ms | " << (met ? "met" : "MISSED") << " |\n";
    }
    out << "| no request before the opening (the rows / every run) | " << earlyMedian << " / "
        << earlyAll << " | " << (allOk && earlyAll == 0 ? "met" : "MISSED") << " |\n";
    out << "\nWorst first arrival of any single `arrival` run: " << fmt("%.3f", worstAnyRun)
        << " ms after the opening.\n";
    out << "\n### How the arrival numbers are taken\n\n"
           "- Each row: a path emulated between two network namespaces joined through TUN "
           "devices by a forwarder in the process (`tests/support/path_emulator.h`; the one-way "
           "delays up/down, no jitter, no loss), a simulator in process on its far side with "
           "`clockOffsetMs` and the mall's `work` (30 ms on every page, its Date stamped as the "
           "request arrives or as the answer leaves; with a quick address, `/favicon.ico`, one of "
           "the two addresses the estimate probes, takes none; with no address answered at once, "
           "`OPTIONS *` is 30 ms late too); the mall's clock estimated by "
           "`mall::timerEstimate` as a timed run "
           "does (eight probe connections across its second changes); then a run with "
           "`timer.aim = arrival` (margin 0.5 ms, the default) and one with `send`, both aimed "
           "by `mall::aimFiring` on that one estimate, each at the first whole second on the "
           "mall's clock at least 1.4 s ahead.\n"
           "- A run: `ExchangeController` as the front ends start it, 100 workers on one item, "
           "connections opened 1 s ahead (shipped: 3 s; the looks at idle connections 300 ms and "
           "20 ms before the instant are inside either), no retries (`exchange.retry_window_ms = "
           "0`), so each worker sends once.\n"
           "- Arrival: the simulator's log, `arrivalNanos`: the kernel receive time "
           "(SO_TIMESTAMPNS) of the request's first bytes past the path, on the real clock. The "
           "opening: the set second on the simulator's offset clock, in real time (set second "
           "− `clockOffsetMs`). First/last arrival: minus the opening. Before the opening: "
           "arrivals earlier than it. Answered \"not yet\": the mall's own verdict, which goes "
           "by the arrival of a request's last bytes.\n"
           "- First write after the aimed send: the first request's bytes in at the simulator, "
           "less `upMs`, minus `aimFiring`'s `sendAt` (the engine's fire lag at the aimed "
           "instant, loopback included). Aimed by: the bound the aim goes by, with `arrival` "
           "`[arrivalLower, arrivalUpper]` (A, the offset less the way there), with `send` "
           "`[lower, upper]` (the offset); past the truth: its upper end less the true value "
           "(A = −offset − upMs; offset = −`clockOffsetMs`), how much later than needed it "
           "aims. With `arrival` the first request is due that much, plus the 0.5 ms margin "
           "and the fire lag, after the opening; with `send`, that much plus `upMs`.\n"
           "- Repeats: every row and aim runs once per repeat, rows one after another (never "
           "two at once); the row shown is the run with the median first arrival, and the last "
           "column lists every run's.\n";
    return out.str();
}

}  // namespace

int run(int repeats) {
    web::ensureCurlReady();
    const std::string loadBefore = loadAverage();
    const auto began = std::chrono::steady_clock::now();
    const std::vector<Path> paths = {{0, 0}, {15, 15}, {30, 5}, {5, 30}};
    // Every path with no work at both offsets, and with 30 ms of work three ways at one.
    struct RowSpec {
        Path path;
        double offsetMs;
        Work work;
    };
    std::vector<RowSpec> specs;
    for (const Path& path : paths) {
        for (const double offset : {-1250.0, 400.0}) {
            specs.push_back({path, offset, {}});
        }
        specs.push_back({path, 400, {30, false, false}});
        specs.push_back({path, 400, {30, true, false}});
        specs.push_back({path, 400, {30, true, true}});
    }
    specs.push_back({{15, 15}, 400, {30, true, false, true}});
    // [row][aim] -> runs
    std::vector<std::vector<Run>> runs(specs.size() * 2);
    for (int rep = 0; rep < repeats; ++rep) {
        for (std::size_t i = 0; i < specs.size(); ++i) {
            const RowSpec& spec = specs[i];
            const auto pair = measureRow(spec.path, spec.offsetMs, spec.work);
            for (std::size_t a = 0; a < 2; ++a) {
                const Run& r = pair[a];
                runs[i * 2 + a].push_back(r);
                std::fprintf(stderr,
                             "run %d, path %.0f/%.0f, mall %+.0f ms, work %s, aim %s: first "
                             "%.3f, last %.3f ms, %d early, %d arrived%s%s\n",
                             rep + 1, spec.path.upMs, spec.path.downMs, spec.offsetMs,
                             workName(spec.work).c_str(), a == 0 ? "arrival" : "send", r.firstMs,
                             r.lastMs, r.early, r.arrived, r.error.empty() ? "" : ", ",
                             r.error.c_str());
                if (r.sendLagMs > 1.0) {
                    std::fprintf(stderr,
                                 "  first write %.3f ms after the aimed send (sent %s); its log:\n",
                                 r.sendLagMs, r.aimLine.c_str());
                    for (const auto& line : r.lines) {
                        std::fprintf(stderr, "    %s", line.c_str());
                    }
                }
            }
        }
    }
    std::vector<RowResult> rows;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        for (std::size_t a = 0; a < 2; ++a) {
            const Case c{specs[i].path, specs[i].offsetMs,
                         a == 0 ? TimerAim::Arrival : TimerAim::Send, specs[i].work};
            rows.push_back(summarise(c, runs[i * 2 + a]));
        }
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::string text = section(rows, repeats, loadBefore, loadAverage(), took);
    std::fwrite(text.data(), 1, text.size(), stdout);
    // Read whole before the file is opened for writing, which empties it.
    const std::string results =
        replaceSubsection(readResults(VELLICOR_RESULTS_FILE), kSimulatorHeading, kHeading, text);
    std::ofstream(VELLICOR_RESULTS_FILE) << results;
    return 0;
}

}  // namespace vellicor::bench

int main(int argc, char** argv) {
    int repeats = 3;
    if (argc == 3 && std::string_view(argv[1]) == "--repeats") {
        repeats = std::atoi(argv[2]);
    }
    if ((argc != 1 && argc != 3) || repeats < 1) {
        std::fprintf(stderr, "usage: %s [--repeats R]\n", argv[0]);
        return 2;
    }
    return vellicor::bench::run(repeats);
}
