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

Result<std::unique_ptr<ApacheFront>> ApacheFront::start(const FrontOptions& options) {
    const std::string binary =
        findProgram(options.binary, "VELLICOR_APACHE", "apache2", {"/usr/sbin/apache2"});
    if (binary.empty()) {
        return makeError(ErrorCode::Unavailable,
                         "apache2 is not installed" +
                             (options.binary.empty() ? std::string() : " at " + options.binary) +
                             ": run tools/install-deps.sh");
    }
    auto folder = makeFrontFolder("vellicor-apache");
    if (!folder) {
        return folder.error();
    }
    std::unique_ptr<ApacheFront> front(new ApacheFront());
    front->options_ = options;
    front->folder_ = *folder;
    auto started =
        startOnFreePort([&](std::uint16_t) { return front->launch(binary); }, front->port_);
    if (!started) {
        return started.error();
    }
    return front;
}

Status ApacheFront::launch(const std::string& binary) {
    const std::string conf = folder_ + "/httpd.conf";
    std::ofstream(conf) << configuration(options_, folder_, port_);
    Launch l;
    l.what = "apache2";
    l.argv = {binary, "-d", folder_, "-f", conf, "-DFOREGROUND"};
    l.outputFile = folder_ + "/output.log";
    l.stopSignal = SIGTERM;
    return process_.start(l, port_, [this] { return errorLog(); });
}

ApacheFront::~ApacheFront() {
    process_.stop();
    removeFrontFolder(folder_);
}

std::string ApacheFront::errorLog() const {
    return readText(folder_ + "/output.log") + readText(folder_ + "/error.log");
}

std::string ApacheFront::accessLog() const {
    return readText(folder_ + "/access.log");
}

}  // namespace vellicor::test
