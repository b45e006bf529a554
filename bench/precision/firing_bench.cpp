// How close together and how near the instant the requests of a timed run reach the mall:
// the literal design, the engine without and with pre-opened connections, and a floor, all
// against one receiving server on loopback; the clock estimate against injected offsets;
// the retry loop's rate against wrk's. Prints a table and writes RESULTS.md.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

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

struct Row {
    std::string mode;
    int n = 0;
    double lagMs = 0, spreadMs = 0, p50Ms = 0, p99Ms = 0;
    int errors = 0;
};

struct Instant {
    Clock::Steady steady;
    std::int64_t wallNs;
};

Instant instantIn(milliseconds ahead) {
    const auto steady = std::chrono::steady_clock::now();
    const auto wall = std::chrono::system_clock::now();
    return {steady + ahead,
            std::chrono::duration_cast<nanoseconds>(wall.time_since_epoch() + ahead).count()};
}

double ms(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

Row measure(const std::string& mode, int n, const Receiver& rx, const Instant& at, int failed) {
    auto got = rx.arrivals();
    std::sort(got.begin(), got.end());
    Row row{mode, n, 0, 0, 0, 0, n - static_cast<int>(got.size()) + failed};
    if (got.empty()) {
        return row;
    }
    auto pct = [&](double p) {
        const auto i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(got.size()))) - 1;
        return ms(got[std::min(i, got.size() - 1)] - at.wallNs);
    };
    row.lagMs = ms(got.front() - at.wallNs);
    row.spreadMs = ms(got.back() - got.front());
    row.p50Ms = pct(0.5);
    row.p99Ms = pct(0.99);
    return row;
}

Config configFor(const Receiver& rx) {
    Config c = Config::defaults().withPortal(rx.base());
    c.exchange.maxConnectionsPerHost = 2000;
    c.exchange.retryWindowMs = 0;
    return c;
}

mall::RunPlan planOf(int n) {
    mall::RunPlan plan;
    plan.items = {&mall::items()[0]};
    plan.perItem = n;
    plan.cookies = "uin=o10001; skey=bench";
    return plan;
}

// A one-second tick that looks whether the time has come, then a thread per request, each
// with a connection of its own.
Row literal(Receiver& rx, int n) {
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
    request.cookies = "uin=o10001; skey=bench";
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
    return measure("literal design", n, rx, at, failed.load());
}

Row engine(Receiver& rx, int n, bool preopen) {
    rx.clear();
    Config config = configFor(rx);
    config.timer.preopenLeadMs = preopen ? 1000 : 0;
    const Instant at = instantIn(milliseconds(1500));
    mall::RunOptions options;
    options.fireAt = at.steady;
    auto run =
        mall::ExchangeRun::start(planOf(n), config, SystemClock::instance(), {}, {}, options);
    run->wait();
    const auto summary = run->summary();
    const int failed = summary.items.at(0).count(mall::OutcomeKind::Failed);
    return measure(preopen ? "engine, pre-opened" : "engine, fresh connections", n, rx, at, failed);
}

// One thread writing one byte to each of N sockets connected in advance.
Row floorOf(Receiver& rx, int n) {
    rx.clear();
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(rx.port()));
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            fds.push_back(fd);
        } else {
            close(fd);
        }
    }
    const Instant at = instantIn(milliseconds(1000));
    mall::waitPrecisely(SystemClock::instance(), at.steady, {});
    for (int fd : fds) {
        (void)!write(fd, "X", 1);
    }
    // The receiver notes each byte as it reads it; wait for all before closing.
    for (int spins = 0; rx.arrivals().size() < fds.size() && spins < 2000; ++spins) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    for (int fd : fds) {
        close(fd);
    }
    return measure("floor (1 byte per socket)", n, rx, at, 0);
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

double engineRetryRate(Receiver& rx, int workers, int seconds) {
    rx.setPage(Receiver::Page::NotOpen);
    Config config = configFor(rx);
    config.exchange.retryPauseMs = 0;
    config.exchange.retryWindowMs = seconds * 1000;
    const auto before = rx.answered();
    const auto start = std::chrono::steady_clock::now();
    auto run = mall::ExchangeRun::start(planOf(workers), config, SystemClock::instance(), {});
    run->wait();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rx.setPage(Receiver::Page::SoldOut);
    return static_cast<double>(rx.answered() - before) / took;
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

std::string machine() {
    utsname u{};
    uname(&u);
    std::ifstream cpu("/proc/cpuinfo");
    std::string line, model;
    while (std::getline(cpu, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " CPUs, " +
           u.sysname + " " + u.release;
}

std::string today() {
    char buf[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

}  // namespace

int run() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    web::ensureCurlReady();
    Receiver rx;
    std::vector<Row> rows;
    for (int n : {100, 1000}) {
        rows.push_back(literal(rx, n));
        rows.push_back(engine(rx, n, false));
        rows.push_back(engine(rx, n, true));
        rows.push_back(floorOf(rx, n));
    }
    std::vector<ClockRow> clocks;
    for (double off : {412.5, -1250.25, 0.3, 3000.7}) {
        clocks.push_back(clockError(off));
    }
    const int retrySeconds = 3;
    const double engineRate = engineRetryRate(rx, 50, retrySeconds);
    const double wrk = wrkRate(rx, 50, retrySeconds);

    std::ostringstream out;
    out << "# Firing benchmark\n\nMachine: " << machine() << "  \nDate: " << today()
        << "  \nReceiver: epoll on 127.0.0.1, kernel receive times (SO_TIMESTAMPNS). Plain "
           "HTTP.\n\n";
    out << "| mode | N | fire lag ms | spread ms | p50 ms | p99 ms | errors |\n"
           "|---|---|---|---|---|---|---|\n";
    for (const auto& r : rows) {
        out << "| " << r.mode << " | " << r.n << " | " << fmt("%.3f", r.lagMs) << " | "
            << fmt("%.3f", r.spreadMs) << " | " << fmt("%.3f", r.p50Ms) << " | "
            << fmt("%.3f", r.p99Ms) << " | " << r.errors << " |\n";
    }
    out << "\n| injected mall offset ms | estimated ms | error ms | reported bound ± ms | probes "
           "|\n"
           "|---|---|---|---|---|\n";
    double worstClock = 0;
    for (const auto& c : clocks) {
        worstClock = std::max(worstClock, c.ok ? c.errorMs : 1e9);
        out << "| " << fmt("%.2f", c.injectedMs) << " | " << fmt("%.3f", c.estimatedMs) << " | "
            << fmt("%.3f", c.errorMs) << " | " << fmt("%.3f", c.boundMs) << " | " << c.probes
            << " |\n";
    }
    out << "\nRetry loop, 50 workers / 50 connections, " << retrySeconds << " s: engine "
        << fmt("%.0f", engineRate) << " req/s, wrk "
        << (wrk > 0 ? fmt("%.0f", wrk) + " req/s" : std::string("not run")) << "\n\n";
    auto row = [&](const std::string& mode, int n) {
        for (const auto& r : rows) {
            if (r.mode.rfind(mode, 0) == 0 && r.n == n) {
                return r;
            }
        }
        return Row{};
    };
    const Row f100 = row("floor", 100), f1000 = row("floor", 1000);
    const Row e100 = row("engine, pre", 100), e1000 = row("engine, pre", 1000);
    const Row l100 = row("literal", 100);
    out << "## Targets (ratios from this run)\n\n";
    out << "- N=100 spread vs floor: " << fmt("%.2f", e100.spreadMs / f100.spreadMs)
        << "x (target <= 1.5): " << verdict(e100.spreadMs <= 1.5 * f100.spreadMs) << "\n";
    out << "- N=100 spread vs literal design: " << fmt("%.4f", e100.spreadMs / l100.spreadMs)
        << " (target <= 0.1): " << verdict(e100.spreadMs <= 0.1 * l100.spreadMs) << "\n";
    out << "- N=1000 spread vs floor: " << fmt("%.2f", e1000.spreadMs / f1000.spreadMs)
        << "x (target <= 1.5): " << verdict(e1000.spreadMs <= 1.5 * f1000.spreadMs) << "\n";
    out << "- fire lag (pre-opened): N=100 " << fmt("%.3f", e100.lagMs) << " ms, N=1000 "
        << fmt("%.3f", e1000.lagMs)
        << " ms (target <= 0.5): " << verdict(e100.lagMs <= 0.5 && e1000.lagMs <= 0.5) << "\n";
    out << "- clock error, worst: " << fmt("%.3f", worstClock)
        << " ms (target <= 2): " << verdict(worstClock <= 2) << "\n";
    if (wrk > 0) {
        out << "- retry-loop rate vs wrk: " << fmt("%.2f", engineRate / wrk)
            << "x (target >= 0.7): " << verdict(engineRate >= 0.7 * wrk) << "\n";
    }
    const std::string text = out.str();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::ofstream(VELLICOR_RESULTS_FILE) << text;
    return 0;
}

}  // namespace vellicor::bench

int main() {
    return vellicor::bench::run();
}
