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

std::string findHaproxy(const std::string& named) {
    return findProgram(named, "VELLICOR_HAPROXY", "haproxy",
                       {"/usr/sbin/haproxy", "/usr/local/sbin/haproxy"});
}

// Its warnings and its request lines share standard output.
FrontRun configureHaproxy(const FrontOptions& options, const std::string& binary,
                          const std::string& folder, std::uint16_t port) {
    std::ofstream(folder + "/server.pem") << readText(tlsCertFile()) << readText(tlsKeyFile());
    const std::string conf = folder + "/haproxy.cfg";
    std::ofstream(conf) << configuration(options, folder, port);
    return {{"haproxy", {binary, "-db", "-f", conf}, {}, SIGTERM}, {"output.log"}, "output.log"};
}

}  // namespace vellicor::test
