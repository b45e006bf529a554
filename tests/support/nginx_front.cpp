#include "nginx_front.h"

#include <signal.h>

#include <fstream>
#include <sstream>

namespace vellicor::test {
namespace {

std::string listenLine(const NginxOptions& o, std::uint16_t port) {
    std::string line = "listen 127.0.0.1:" + std::to_string(port);
    switch (o.listen) {
        case NginxOptions::Listen::Tls:
            line += o.http2 ? " ssl http2" : " ssl";
            break;
        case NginxOptions::Listen::PlainH2c:
            line += " http2";
            break;
        case NginxOptions::Listen::Plain:
            break;
    }
    return line + ";";
}

// Everything nginx writes stays in the folder; the workers (which drop to an unprivileged
// user when the tests run as root) get their temp paths created and owned by the master.
std::string configuration(const NginxOptions& o, const std::string& dir, std::uint16_t port) {
    std::ostringstream c;
    c << "worker_processes 1;\n"
      << "worker_shutdown_timeout 1s;\n"
      << "pid " << dir << "/nginx.pid;\n"
      << "error_log " << dir << "/error.log info;\n"
      << "events { worker_connections 4096; }\n"
      << "http {\n"
      << "  access_log " << dir << "/access.log;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        c << "  " << temp << "_temp_path " << dir << "/" << temp << ";\n";
    }
    c << "  keepalive_requests " << o.keepaliveRequests << ";\n"
      << "  keepalive_timeout " << o.keepaliveTimeoutSeconds << "s;\n"
      << "  http2_max_concurrent_streams " << o.maxConcurrentStreams << ";\n"
      << "  upstream mall {\n"
      << "    server " << o.upstreamHost << ":" << o.upstreamPort << ";\n"
      << "    keepalive 64;\n"
      << "    keepalive_requests 1000000;\n"
      << "  }\n"
      << "  server {\n"
      << "    " << listenLine(o, port) << "\n"
      << "    server_name 127.0.0.1 localhost;\n";
    if (o.listen == NginxOptions::Listen::Tls) {
        c << "    ssl_certificate " << tlsCertFile() << ";\n"
          << "    ssl_certificate_key " << tlsKeyFile() << ";\n"
          << "    ssl_protocols TLSv1.2 TLSv1.3;\n";
    }
    c << "    location / {\n"
      << "      proxy_pass http://mall;\n"
      << "      proxy_http_version 1.1;\n"
      << "      proxy_set_header Connection \"\";\n"
      << "      proxy_set_header Host $http_host;\n";
    if (!o.ownDate) {
        c << "      proxy_pass_header Date;\n"
          << "      proxy_pass_header Server;\n";
    }
    c << "      proxy_redirect off;\n"
      << "    }\n"
      << "  }\n"
      << "}\n";
    return c.str();
}

}  // namespace

std::string tlsDir() {
    return VELLICOR_TEST_TLS_DIR;
}
std::string tlsCaFile() {
    return tlsDir() + "/ca.pem";
}
std::string tlsCertFile() {
    return tlsDir() + "/server.pem";
}
std::string tlsKeyFile() {
    return tlsDir() + "/server.key";
}

std::string findNginx() {
    return findProgram({}, "VELLICOR_NGINX", "nginx", {"/usr/sbin/nginx", "/usr/local/sbin/nginx"});
}

Result<std::unique_ptr<NginxFront>> NginxFront::start(const NginxOptions& options) {
    return startFront(options,
                      findProgram(options.binary, "VELLICOR_NGINX", "nginx",
                                  {"/usr/sbin/nginx", "/usr/local/sbin/nginx"}),
                      "nginx");
}

Launch NginxFront::configure(const std::string& binary) {
    const std::string conf = folder_ + "/nginx.conf";
    std::ofstream(conf) << configuration(options_, folder_, port_);
    const std::string errors = folder_ + "/error.log";
    return {
        "nginx",
        {binary, "-p", folder_, "-e", errors, "-c", conf, "-g", "daemon off; master_process on;"},
        {},
        SIGQUIT};
}

std::string NginxFront::baseUrl() const {
    const bool tls = options_.listen == NginxOptions::Listen::Tls;
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string NginxFront::errorLog() const {
    return readText(folder_ + "/error.log") + readText(folder_ + "/output.log");
}

std::string NginxFront::accessLog() const {
    return readText(folder_ + "/access.log");
}

}  // namespace vellicor::test
