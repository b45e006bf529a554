#pragma once
// A real nginx in front of the in-process simulator, as the mall runs behind an HTTPS front
// end: started by a test on a free loopback port with a configuration of its own in a
// temporary folder, stopped when the object goes.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

namespace vellicor::test {

// The tests' own certificate authority and server certificate (127.0.0.1 and localhost).
std::string tlsDir();
std::string tlsCaFile();
std::string tlsCertFile();
std::string tlsKeyFile();

struct NginxOptions {
    enum class Listen {
        Tls,       // HTTPS, h2 and http/1.1 by ALPN (http/1.1 alone with http2 off)
        Plain,     // HTTP/1.1 on a plain socket
        PlainH2c,  // HTTP/2 with prior knowledge on a plain socket
    };
    Listen listen = Listen::Tls;
    bool http2 = true;
    std::string upstreamHost = "127.0.0.1";
    std::uint16_t upstreamPort = 0;  // where proxy_pass goes (the simulator)
    int maxConcurrentStreams = 128;
};

class NginxFront {
  public:
    // Writes the configuration, starts nginx and returns once its port accepts. Fails with
    // a clear message where nginx is not installed or does not come up.
    static Result<std::unique_ptr<NginxFront>> start(const NginxOptions& options);
    ~NginxFront();  // SIGQUIT, then SIGKILL if it lingers; reaped either way
    NginxFront(const NginxFront&) = delete;
    NginxFront& operator=(const NginxFront&) = delete;

    std::uint16_t port() const { return port_; }
    // "https://127.0.0.1:<port>" (or http:// for the plain listeners).
    std::string baseUrl() const;
    const std::string& folder() const { return folder_; }
    // The error log so far, for a failure message.
    std::string errorLog() const;

  private:
    NginxFront() = default;
    Status launch(const std::string& binary);
    Status waitUntilAccepting();
    void stop();

    NginxOptions options_;
    std::string folder_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// The nginx binary: $VELLICOR_NGINX, else `nginx` on PATH, else /usr/sbin/nginx; empty when
// none is there.
std::string findNginx();

}  // namespace vellicor::test
