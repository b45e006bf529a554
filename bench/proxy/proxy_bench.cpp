// The run's own ways through a CONNECT proxy: squid on loopback (as the tests start it) in
// front of the HTTP/2 benchmark's TLS receiver. Timed runs of the HTTP/2 wave and of HTTP/1.1
// connections opened ahead, both through squid, against a floor through the same squid in
// the same process: N tunnels made and handshaken ahead, one byte written to each at the
// instant. The proxy's own relaying is in every row alike. The section "# Through a proxy"
// of bench/RESULTS.md is rewritten, and only it.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "bench_common.h"
#include "h2_receiver.h"
#include "mall/exchange_run.h"
#include "mall/preopen.h"
#include "proxy_front.h"
#include "web/transfer.h"

namespace vellicor::bench {
namespace {

using std::chrono::milliseconds;

const char* const kHeading = "# Through a proxy";
constexpr int kN = 100;

enum class Mode { Wave, Http1, Floor };

const char* nameOf(Mode mode) {
    switch (mode) {
        case Mode::Wave:
            return "HTTP/2 wave through squid";
        case Mode::Http1:
            return "HTTP/1.1 engine, pre-opened, through squid";
        case Mode::Floor:
            return "floor through squid (1 byte per tunnel)";
    }
    return "";
}

struct Row {
    Mode mode = Mode::Floor;
    Timing time;
    std::vector<double> lags;
    int errors = 0;
    int late = 0;  // connections the receiver accepted after the instant
};

void awaitArrivals(const H2Receiver& rx, std::size_t n) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (rx.arrivals().size() < n && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(1));
    }
}

Row measure(Mode mode, const H2Receiver& rx, const Instant& at, int failed) {
    Row row;
    row.mode = mode;
    const auto got = rx.arrivals();
    row.errors = std::max({failed, kN - static_cast<int>(got.size()), 0});
    row.late = countFrom(rx.accepts(), at);
    row.time = timingOf(got, at);
    return row;
}

Row engine(H2Receiver& rx, const std::string& proxy, Mode mode) {
    const bool h2 = mode == Mode::Wave;
    rx.offerH2(h2);
    rx.setMaxStreams(128);
    rx.clear();
    Config config = Config::defaults().withPortal(rx.base());
    config.exchange.maxConnectionsPerHost = 2000;
    config.exchange.retryWindowMs = 0;
    config.http.caFile = kTlsDir + "/ca.pem";
    config.http.version = h2 ? HttpVersion::Http2 : HttpVersion::Http1_1;
    config.http.proxy = proxy;
    const Instant at = instantIn(milliseconds(config.timer.preopenLeadMs + 500));
    mall::RunOptions options;
    options.fireAt = at.steady;
    auto run =
        mall::ExchangeRun::start(planOf(kN), config, SystemClock::instance(), {}, {}, options);
    run->wait();
    const int answered = run->summary().items.at(0).count(mall::OutcomeKind::SoldOut);
    return measure(mode, rx, at, kN - answered);
}

// A CONNECT tunnel to the receiver through squid, blocking, or -1.
int tunnel(int proxyPort, int port) {
    const int fd = connectTo(proxyPort);
    if (fd < 0) {
        return -1;
    }
    const std::string target = "127.0.0.1:" + std::to_string(port);
    const std::string ask = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    std::string answer;
    char c = 0;
    if (::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(ask.size())) {
        while (answer.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) {
            answer += c;
        }
    }
    if (answer.rfind("HTTP/1.1 200", 0) != 0 && answer.rfind("HTTP/1.0 200", 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

Row floor(H2Receiver& rx, int proxyPort) {
    rx.offerH2(false);
    rx.clear();
    const TlsClient tls;
    std::vector<std::pair<int, SSL*>> links;
    for (int i = 0; i < kN; ++i) {
        const int fd = tunnel(proxyPort, rx.port());
        SSL* ssl = fd >= 0 ? tls.handshake(fd) : nullptr;
        if (ssl != nullptr) {
            links.emplace_back(fd, ssl);
        } else if (fd >= 0) {
            close(fd);
        }
    }
    const Instant at = instantIn(milliseconds(1000));
    int failed = kN - static_cast<int>(links.size());
    {
        const PreciseWakeups sharp;
        mall::waitPrecisely(SystemClock::instance(), at.steady, {});
        for (const auto& [fd, ssl] : links) {
            failed += SSL_write(ssl, "X", 1) == 1 ? 0 : 1;
        }
    }
    awaitArrivals(rx, links.size());
    for (const auto& [fd, ssl] : links) {
        SSL_free(ssl);
        close(fd);
    }
    ERR_clear_error();
    return measure(Mode::Floor, rx, at, failed);
}

const Row& find(const std::vector<Row>& rows, Mode mode) {
    for (const Row& r : rows) {
        if (r.mode == mode) {
            return r;
        }
    }
    return rows.front();
}

std::string target(const char* text, double value, double limit, const char* unit, int errors) {
    const bool met = errors == 0 && std::isfinite(value) && value <= limit;
    return "| " + std::string(text) + " | " + fmt(unit[0] == 'x' ? "%.2f" : "%.3f", value) + unit +
           " " + verdict(met) +
           (errors > 0 ? " (" + std::to_string(errors) + " errors)" : std::string()) + " |\n";
}

std::string section(const std::vector<Row>& rows, const std::string& loadBefore,
                    const std::string& placement) {
    std::ostringstream out;
    out << sectionHeader(kHeading,
                         "`build/dev/bin/vellicor-bench-proxy [--runs R]`: squid on 127.0.0.1 "
                         "(CONNECT), sending from 127.0.0.2, in front of the HTTP/2 section's "
                         "TLS receiver; N = " +
                             std::to_string(kN) + ", the three modes taking turns; " + placement +
                             ".  \nMachine: " + machine() + "  \n",
                         loadBefore, loadAverage())
        << "\n\n| mode | fire lag ms | fire lag of the runs: median / worst ms (runs) | spread "
           "ms | p50 ms | p99 ms | errors | connections after the instant |\n"
           "|---|---|---|---|---|---|---|---|\n";
    for (const Row& r : rows) {
        const Lags lags = lagsOf(r.lags);
        out << "| " << nameOf(r.mode) << " | " << fmt("%.3f", r.time.lagMs) << " | "
            << fmt("%.3f", lags.median) << " / " << fmt("%.3f", lags.worst) << " (" << lags.runs
            << ") | " << fmt("%.3f", r.time.spreadMs) << " | " << fmt("%.3f", r.time.p50Ms) << " | "
            << fmt("%.3f", r.time.p99Ms) << " | " << r.errors << " | " << r.late << " |\n";
    }
    out << "\n";
    for (const Row& r : rows) {
        out << "- " << nameOf(r.mode) << ": fire lags of the runs in order: " << lagList(r.lags)
            << " ms\n";
    }
    const Row& wave = find(rows, Mode::Wave);
    const Row& h1 = find(rows, Mode::Http1);
    const Row& fl = find(rows, Mode::Floor);
    out << "\n## Targets through a proxy (from this run)\n\n| target | value |\n|---|---|\n"
        << target("HTTP/1.1 spread / the floor's (<= 1.5)", h1.time.spreadMs / fl.time.spreadMs,
                  1.5, "x", h1.errors)
        << target("HTTP/2 wave spread / the floor's (<= 0.2)",
                  wave.time.spreadMs / fl.time.spreadMs, 0.2, "x", wave.errors)
        << target("HTTP/1.1 fire lag minus the floor's, runs' medians (<= 0.2 ms)",
                  lagsOf(h1.lags).median - lagsOf(fl.lags).median, 0.2, " ms", h1.errors)
        << target("HTTP/2 wave fire lag minus the floor's, runs' medians (<= 0.2 ms)",
                  lagsOf(wave.lags).median - lagsOf(fl.lags).median, 0.2, " ms", wave.errors);
    out << "\nEach row is the run with the median spread; the fire lag targets compare the "
           "medians of every run's fire lag, one run's lag through squid varying by a "
           "millisecond. Arrivals are the receiver's kernel receive times of what squid "
           "relayed, so squid's relaying is in every row.\n";
    return out.str();
}

int benchMain(int argc, char** argv) {
    int runs = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        }
    }
    web::ensureCurlReady();
    const std::string loadBefore = loadAverage();
    // The proxy and the mall are other machines: squid and the receiver's thread, started
    // here, stay on the second processor, and the tool's own threads on the first. Sharing
    // one, the socket's wake-up puts squid on the writer's processor, and squid relays
    // nothing until the writing ends.
    const bool apart = pinToProcessor(1);
    auto squid = test::startProxy({test::ProxyKind::Squid, false, {}});
    if (!squid) {
        std::fprintf(stderr, "squid could not start: %s\n", squid.error().message.c_str());
        return 1;
    }
    H2Receiver rx(TlsFiles{kTlsDir + "/server.pem", kTlsDir + "/server.key"});
    if (!rx.ready()) {
        std::fprintf(stderr, "the receiver could not start\n");
        return 1;
    }
    const std::string placement =
        apart && pinToProcessor(0)
            ? "the tool on processor 0, squid and the receiver on processor 1"
            : "the tool, squid and the receiver sharing the processors";
    const std::string proxy = (*squid)->setting();
    const int proxyPort = (*squid)->port();
    const std::vector<std::function<Row()>> ways = {[&] { return engine(rx, proxy, Mode::Wave); },
                                                    [&] { return engine(rx, proxy, Mode::Http1); },
                                                    [&] { return floor(rx, proxyPort); }};
    const std::string text = section(inTurns<Row>(runs, ways), loadBefore, placement);
    std::fwrite(text.data(), 1, text.size(), stdout);
    const std::string results = readResults(VELLICOR_RESULTS_FILE);
    std::ofstream(VELLICOR_RESULTS_FILE) << replaceSection(results, kHeading, text);
    return 0;
}

}  // namespace
}  // namespace vellicor::bench

int main(int argc, char** argv) {
    return vellicor::bench::benchMain(argc, argv);
}
