#include "haproxy_front.h"

#include <signal.h>

#include <fstream>
#include <sstream>

namespace vellicor::test {
namespace {

std::string configuration(const FrontOptions& o, const std::string& dir, std::uint16_t port) {
    std::ostringstream c;
    c << "global\n"
      << "  log stdout format raw local0\n";
    if (o.maxConcurrentStreams > 0) {
        c << "  tune.h2.max-concurrent-streams " << o.maxConcurrentStreams << "\n";
    }
    c << "defaults\n"
      << "  mode http\n"
      << "  log global\n"
      << "  option httplog\n"
      << "  timeout connect 5s\n"
      << "  timeout client 30s\n"
      << "  timeout server 30s\n";
    if (o.keepaliveTimeoutSeconds > 0) {
        c << "  timeout http-keep-alive " << o.keepaliveTimeoutSeconds << "s\n";
    }
    c << "frontend mall\n"
      << "  bind 127.0.0.1:" << port << " ssl crt " << dir << "/server.pem alpn h2,http/1.1\n"
      << "  default_backend simulator\n"
      << "backend simulator\n"
      << "  server simulator " << o.upstreamHost << ":" << o.upstreamPort << "\n";
    return c.str();
}

}  // namespace

Result<std::unique_ptr<HaproxyFront>> HaproxyFront::start(const FrontOptions& options) {
    const std::string binary = findProgram(options.binary, "VELLICOR_HAPROXY", "haproxy",
                                           {"/usr/sbin/haproxy", "/usr/local/sbin/haproxy"});
    if (binary.empty()) {
        return makeError(ErrorCode::Unavailable,
                         "haproxy is not installed" +
                             (options.binary.empty() ? std::string() : " at " + options.binary) +
                             ": run tools/install-deps.sh");
    }
    auto folder = makeFrontFolder("vellicor-haproxy");
    if (!folder) {
        return folder.error();
    }
    std::unique_ptr<HaproxyFront> front(new HaproxyFront());
    front->options_ = options;
    front->folder_ = *folder;
    std::ofstream(front->folder_ + "/server.pem")
        << readText(tlsCertFile()) << readText(tlsKeyFile());
    auto started =
        startOnFreePort([&](std::uint16_t) { return front->launch(binary); }, front->port_);
    if (!started) {
        return started.error();
    }
    return front;
}

Status HaproxyFront::launch(const std::string& binary) {
    const std::string conf = folder_ + "/haproxy.cfg";
    std::ofstream(conf) << configuration(options_, folder_, port_);
    Launch l;
    l.what = "haproxy";
    l.argv = {binary, "-db", "-f", conf};
    l.outputFile = folder_ + "/output.log";
    l.stopSignal = SIGTERM;
    return process_.start(l, port_, [this] { return errorLog(); });
}

HaproxyFront::~HaproxyFront() {
    process_.stop();
    removeFrontFolder(folder_);
}

// Its warnings and its request lines share standard output.
std::string HaproxyFront::errorLog() const {
    return readText(folder_ + "/output.log");
}

std::string HaproxyFront::accessLog() const {
    return readText(folder_ + "/output.log");
}

}  // namespace vellicor::test
