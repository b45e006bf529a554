#include "apache_front.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace vellicor::test {
namespace {

constexpr const char* kModules = "/usr/lib/apache2/modules";

std::string configuration(const FrontOptions& o, const std::string& dir, std::uint16_t port) {
    std::ostringstream c;
    c << "ServerRoot \"" << dir << "\"\n"
      << "ServerName 127.0.0.1\n"
      << "Listen 127.0.0.1:" << port << "\n"
      << "PidFile " << dir << "/httpd.pid\n"
      << "DefaultRuntimeDir " << dir << "\n"
      << "ErrorLog " << dir << "/error.log\n"
      << "LogLevel warn\n";
    for (const char* module :
         {"mpm_event", "authz_core", "socache_shmcb", "ssl", "http2", "proxy", "proxy_http"}) {
        c << "LoadModule " << module << "_module " << kModules << "/mod_" << module << ".so\n";
    }
    // Root must hand its workers to a user that exists; another user runs them as itself.
    if (::geteuid() == 0) {
        c << "User nobody\nGroup nogroup\n";
    }
    // Connections opened ahead wait in a worker thread for their first request.
    c << "StartServers 1\nServerLimit 2\nThreadsPerChild 64\nMaxRequestWorkers 128\n"
      << "LogFormat \"%h %t \\\"%r\\\" %>s %b\" plain\n"
      << "CustomLog " << dir << "/access.log plain\n"
      << "Protocols h2 http/1.1\n"
      << "SSLEngine on\n"
      << "SSLCertificateFile " << tlsCertFile() << "\n"
      << "SSLCertificateKeyFile " << tlsKeyFile() << "\n"
      << "SSLProtocol -all +TLSv1.2 +TLSv1.3\n"
      << "SSLSessionCache shmcb:" << dir << "/ssl_cache(512000)\n";
    if (o.maxConcurrentStreams > 0) {
        c << "H2MaxSessionStreams " << o.maxConcurrentStreams << "\n";
    }
    if (o.keepaliveRequests > 0) {
        c << "MaxKeepAliveRequests " << o.keepaliveRequests << "\n";
    }
    if (o.keepaliveTimeoutSeconds > 0) {
        c << "KeepAliveTimeout " << o.keepaliveTimeoutSeconds << "\n";
    }
    c << "ProxyPreserveHost On\n"
      << "ProxyPass / http://" << o.upstreamHost << ":" << o.upstreamPort << "/\n";
    return c.str();
}

}  // namespace

std::string findApache(const std::string& named) {
    return findProgram(named, "VELLICOR_APACHE", "apache2", {"/usr/sbin/apache2"});
}

FrontRun configureApache(const FrontOptions& options, const std::string& binary,
                         const std::string& folder, std::uint16_t port) {
    const std::string conf = folder + "/httpd.conf";
    std::ofstream(conf) << configuration(options, folder, port);
    return {{"apache2", {binary, "-d", folder, "-f", conf, "-DFOREGROUND"}, {}, SIGTERM},
            {"output.log", "error.log"},
            "access.log"};
}

}  // namespace vellicor::test
