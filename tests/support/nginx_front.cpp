#include "nginx_front.h"

#include "loopback_server.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace vellicor::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kStartLimit = std::chrono::seconds(15);
constexpr auto kStopLimit = std::chrono::seconds(5);

bool accepts(std::uint16_t port) {
    const int fd = connectLoopback(port);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool executable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

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
    c << "  keepalive_requests 1000000;\n"
      << "  keepalive_timeout 120s;\n"
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
      << "      proxy_set_header Host $http_host;\n"
      << "      proxy_pass_header Date;\n"
      << "      proxy_pass_header Server;\n"
      << "      proxy_redirect off;\n"
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
    if (const char* own = std::getenv("VELLICOR_NGINX"); own != nullptr && executable(own)) {
        return own;
    }
    if (const char* path = std::getenv("PATH"); path != nullptr) {
        std::istringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (!dir.empty() && executable(dir + "/nginx")) {
                return dir + "/nginx";
            }
        }
    }
    for (const char* known : {"/usr/sbin/nginx", "/usr/local/sbin/nginx"}) {
        if (executable(known)) {
            return known;
        }
    }
    return {};
}

Result<std::unique_ptr<NginxFront>> NginxFront::start(const NginxOptions& options) {
    const std::string binary = findNginx();
    if (binary.empty()) {
        return makeError(ErrorCode::Unavailable,
                         "nginx is not installed: run tools/install-deps.sh");
    }
    std::string pattern = (fs::temp_directory_path() / "vellicor-nginx-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return makeError(ErrorCode::Io, "cannot make a folder for nginx");
    }
    std::unique_ptr<NginxFront> front(new NginxFront());
    front->options_ = options;
    front->folder_ = pattern;
    // The workers may run as another user; they must reach the temp paths inside.
    ::chmod(pattern.c_str(), 0755);
    // A free port can be taken by someone else before nginx binds it: try a few.
    Status started = makeError(ErrorCode::Internal, "nginx was not started");
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        started = front->launch(binary);
    }
    if (!started) {
        return started.error();
    }
    return front;
}

Status NginxFront::launch(const std::string& binary) {
    port_ = closedPort();
    if (port_ == 0) {
        return makeError(ErrorCode::Io, "no free loopback port for nginx");
    }
    const std::string conf = folder_ + "/nginx.conf";
    std::ofstream(conf) << configuration(options_, folder_, port_);
    const std::string errorFile = folder_ + "/error.log";
    std::vector<std::string> args = {
        binary, "-p", folder_, "-e", errorFile, "-c", conf, "-g", "daemon off; master_process on;"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // A group of its own, so that a master that must be killed takes its worker along.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int spawned = ::posix_spawn(&pid_, binary.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        pid_ = -1;
        return makeError(ErrorCode::Unavailable, "nginx could not be started: " + binary);
    }
    auto up = waitUntilAccepting();
    if (!up) {
        stop();
    }
    return up;
}

Status NginxFront::waitUntilAccepting() {
    const auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline) {
        if (accepts(port_)) {
            return Ok{};
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return makeError(ErrorCode::Unavailable, "nginx exited at start: " + errorLog());
        }
        ::poll(nullptr, 0, 10);  // nginx has no start signal to wait on but its port
    }
    return makeError(ErrorCode::Timeout, "nginx did not accept in time: " + errorLog());
}

void NginxFront::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGQUIT);
    const auto deadline = Clock::now() + kStopLimit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        ::poll(nullptr, 0, 10);
    }
    pid_ = -1;
}

NginxFront::~NginxFront() {
    stop();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string NginxFront::baseUrl() const {
    const bool tls = options_.listen == NginxOptions::Listen::Tls;
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string NginxFront::errorLog() const {
    std::ifstream in(folder_ + "/error.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace vellicor::test
