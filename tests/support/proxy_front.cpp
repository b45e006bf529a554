#include "proxy_front.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "front_process.h"
#include "run_command.h"

namespace vellicor::test {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// kProxyPassword as basic_ncsa_auth reads it (MD5 crypt).
constexpr const char* kPasswordHash = "$1$vellicor$lHgfDjWUEgAtZoldGWzLF/";

class Squid final : public ProgramFront<Squid, ProxyOptions>, public ProxyFront {
  public:
    static Result<std::unique_ptr<ProxyFront>> start(const ProxyOptions& options) {
        auto started = startFront(
            options, findProgram(options.binary, "VELLICOR_SQUID", "squid", {"/usr/sbin/squid"}),
            "squid");
        if (!started) {
            return started.error();
        }
        return std::unique_ptr<ProxyFront>(std::move(started).value());
    }
    std::uint16_t port() const override { return port_; }
    std::string outgoingAddress() const override { return "127.0.0.2"; }
    std::string setting(const std::string& credentials) const override {
        return credentials + "127.0.0.1:" + std::to_string(port_);
    }
    std::string errorLog() const override {
        return readAll(folder_ + "/cache.log") + readAll(folder_ + "/output.log");
    }
    std::string accessLog() const override { return readAll(folder_ + "/access.log"); }

  private:
    friend class ProgramFront<Squid, ProxyOptions>;
    Squid() = default;

    // No cache, no helpers but the password check, CONNECT to any port (the malls of the
    // tests listen on high ones), and nothing written outside the folder.
    Launch configure(const std::string& binary) {
        // Run as root, squid writes its logs as the unprivileged user it drops to.
        ::chmod(folder_.c_str(), 0777);
        std::ofstream(folder_ + "/passwd") << kProxyUser << ":" << kPasswordHash << "\n";
        std::ostringstream c;
        c << "http_port 127.0.0.1:" << port_ << "\n"
          << "pid_filename " << folder_ << "/squid.pid\n"
          << "cache_log " << folder_ << "/cache.log\n"
          << "access_log stdio:" << folder_ << "/access.log\n"
          << "coredump_dir " << folder_ << "\n"
          << "cache deny all\n"
          << "cache_mem 4 MB\n"
          << "netdb_filename none\n"
          << "pinger_enable off\n"
          << "shutdown_lifetime 0 seconds\n"
          << "visible_hostname vellicor-test\n"
          << "tcp_outgoing_address 127.0.0.2\n"
          << "acl Safe_ports port 1-65535\n"
          << "acl SSL_ports port 1-65535\n";
        if (options_.askCredentials) {
            c << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << folder_
              << "/passwd\n"
              << "auth_param basic realm vellicor\n"
              << "acl users proxy_auth REQUIRED\n"
              << "http_access allow users\n";
        } else {
            c << "http_access allow all\n";
        }
        c << "http_access deny all\n";
        const std::string conf = folder_ + "/squid.conf";
        std::ofstream(conf) << c.str();
        return {"squid", {binary, "-N", "-f", conf}, {}, SIGINT};
    }
};

class Dante final : public ProgramFront<Dante, ProxyOptions>, public ProxyFront {
  public:
    static Result<std::unique_ptr<ProxyFront>> start(const ProxyOptions& options) {
        auto started = startFront(
            options, findProgram(options.binary, "VELLICOR_DANTED", "danted", {"/usr/sbin/danted"}),
            "danted");
        if (!started) {
            return started.error();
        }
        return std::unique_ptr<ProxyFront>(std::move(started).value());
    }
    std::uint16_t port() const override { return port_; }
    std::string outgoingAddress() const override { return "127.0.0.3"; }
    std::string setting(const std::string& credentials) const override {
        return "socks5h://" + credentials + "127.0.0.1:" + std::to_string(port_);
    }
    std::string errorLog() const override {
        return readAll(folder_ + "/danted.log") + readAll(folder_ + "/output.log");
    }
    std::string accessLog() const override { return readAll(folder_ + "/danted.log"); }

  private:
    friend class ProgramFront<Dante, ProxyOptions>;
    Dante() = default;

    Launch configure(const std::string& binary) {
        std::ostringstream c;
        c << "logoutput: " << folder_ << "/danted.log\n"
          << "internal: 127.0.0.1 port = " << port_ << "\n"
          << "external: 127.0.0.3\n"
          << "socksmethod: " << (options_.askCredentials ? "username" : "none") << "\n"
          << "clientmethod: none\n"
          << "user.privileged: root\n"
          << "user.unprivileged: nobody\n"
          << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
          << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n";
        const std::string conf = folder_ + "/danted.conf";
        std::ofstream(conf) << c.str();
        return {
            "danted", {binary, "-f", conf, "-p", folder_ + "/danted.pid", "-N", "1"}, {}, SIGTERM};
    }
};

}  // namespace

Result<std::unique_ptr<ProxyFront>> startProxy(const ProxyOptions& options) {
    if (options.kind == ProxyKind::Dante && options.askCredentials) {
        if (auto user = ensureSocksUser(); !user) {
            return user.error();
        }
    }
    return options.kind == ProxyKind::Dante ? Dante::start(options) : Squid::start(options);
}

Status ensureSocksUser() {
    if (::geteuid() != 0) {
        return makeError(ErrorCode::Unavailable,
                         "dante checks SOCKS passwords against system users, and making one "
                         "needs root");
    }
    // Under a lock: test processes running side by side would otherwise race to make the
    // user, and chpasswd refuses to run while another holds the password files.
    const std::string user = kSocksUser;
    const auto made = runCommand("flock /tmp/vellicor-socks-user.lock sh -c 'id -u " + user +
                                 " >/dev/null 2>&1 || useradd -r -M -s /usr/sbin/nologin " + user +
                                 "; echo " + user + ":" + kProxyPassword + " | chpasswd' 2>&1");
    if (made.exitCode != 0) {
        return makeError(ErrorCode::Io, "cannot make the system user " + user + ": " + made.out);
    }
    return Ok{};
}

int linesFrom(const std::string& accessLog, const std::string& address, const std::string& part) {
    int n = 0;
    std::istringstream in(accessLog);
    for (std::string line; std::getline(in, line);) {
        n += line.rfind(address + " ", 0) == 0 && line.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

}  // namespace vellicor::test
