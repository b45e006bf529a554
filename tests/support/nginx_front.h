#pragma once
// A real nginx in front of the in-process simulator, as the mall runs behind an HTTPS front
// end: started by a test on a free loopback port with a configuration of its own in a
// temporary folder, stopped when the object goes.

#include <cstdint>
#include <memory>
#include <string>

#include "front_end.h"
#include "front_process.h"
#include "platform/result.h"

namespace vellicor::test {

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
    // The tests' default passes the mall's Date and Server on; nginx as sites run it stamps
    // its own Date when the answer leaves.
    bool ownDate = false;
    int keepaliveRequests = 1000000;
    int keepaliveTimeoutSeconds = 120;
    std::string binary;  // empty: findNginx()
};

class NginxFront final : public ProgramFront<NginxFront, NginxOptions> {
  public:
    // Writes the configuration, starts nginx and returns once its port accepts. Fails with
    // a clear message where nginx is not installed or does not come up. Going, it sends
    // SIGQUIT, then SIGKILL if nginx lingers, and reaps it either way.
    static Result<std::unique_ptr<NginxFront>> start(const NginxOptions& options);

    // "https://127.0.0.1:<port>" (or http:// for the plain listeners).
    std::string baseUrl() const override;
    std::string errorLog() const override;
    std::string accessLog() const override;

  private:
    friend ProgramFront;
    NginxFront() = default;
    Launch configure(const std::string& binary);
};

// The nginx binary: $VELLICOR_NGINX, else `nginx` on PATH, else /usr/sbin/nginx; empty when
// none is there.
std::string findNginx();

}  // namespace vellicor::test
