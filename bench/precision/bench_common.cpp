#include "bench_common.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <thread>

#include "mall/catalogue.h"

namespace vellicor::bench {

const std::string kTlsDir = VELLICOR_TLS_DIR;

using std::chrono::nanoseconds;

Instant instantIn(std::chrono::milliseconds ahead) {
    const auto steady = std::chrono::steady_clock::now();
    const auto wall = std::chrono::system_clock::now();
    return {steady + ahead,
            std::chrono::duration_cast<nanoseconds>(wall.time_since_epoch() + ahead).count()};
}

double ms(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

Timing timingOf(std::vector<std::int64_t> got, const Instant& at) {
    Timing t;
    if (got.empty()) {
        return t;
    }
    std::sort(got.begin(), got.end());
    auto pct = [&](double p) {
        const auto i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(got.size()))) - 1;
        return ms(got[std::min(i, got.size() - 1)] - at.wallNs);
    };
    t.lagMs = ms(got.front() - at.wallNs);
    t.spreadMs = ms(got.back() - got.front());
    t.p50Ms = pct(0.5);
    t.p99Ms = pct(0.99);
    return t;
}

int countFrom(const std::vector<std::int64_t>& times, const Instant& at) {
    return static_cast<int>(
        std::count_if(times.begin(), times.end(), [&](auto t) { return t >= at.wallNs; }));
}

TlsClient::TlsClient(const std::string& alpn) : ctx_(SSL_CTX_new(TLS_client_method())) {
    SSL_CTX_load_verify_locations(ctx_, (kTlsDir + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (!alpn.empty()) {
        SSL_CTX_set_alpn_protos(ctx_, reinterpret_cast<const unsigned char*>(alpn.data()),
                                static_cast<unsigned int>(alpn.size()));
    }
}

TlsClient::~TlsClient() {
    SSL_CTX_free(ctx_);
}

SSL* TlsClient::handshake(int fd) const {
    SSL* ssl = SSL_new(ctx_);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

int connectTo(int port) {
    return connectTo("127.0.0.1", port);
}

int connectTo(const char* address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, address, &addr.sin_addr);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

mall::RunPlan planOf(int n) {
    mall::RunPlan plan;
    plan.items = {&mall::items()[0]};
    plan.perItem = n;
    plan.accounts = web::oneAccount(kCookies);
    return plan;
}

Lags lagsOf(const std::vector<double>& lags) {
    Lags out;
    out.runs = static_cast<int>(lags.size());
    if (lags.empty()) {
        return out;
    }
    std::vector<double> sorted = lags;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    out.median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    out.worst = sorted.back();
    return out;
}

std::string lagList(const std::vector<double>& lags) {
    std::string out;
    for (double lag : lags) {
        out += (out.empty() ? "" : ", ") + fmt("%.3f", lag);
    }
    return out;
}

bool pinToProcessor(int cpu) {
    if (std::thread::hardware_concurrency() < 2) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
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

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

}  // namespace vellicor::bench
