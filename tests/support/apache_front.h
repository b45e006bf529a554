#pragma once
// Debian's Apache httpd as a TLS front end of the simulator: mod_ssl offering h2 (mod_http2)
// and http/1.1 by ALPN, mod_proxy_http to the mall. Run in the foreground from a folder of
// its own (ServerRoot, PidFile, logs, runtime files), as nobody when the tests run as root.

#include <cstdint>
#include <memory>
#include <string>

#include "front_end.h"
#include "front_process.h"
#include "platform/result.h"

namespace vellicor::test {

class ApacheFront final : public FrontEnd {
  public:
    static Result<std::unique_ptr<ApacheFront>> start(const FrontOptions& options);
    ~ApacheFront() override;
    ApacheFront(const ApacheFront&) = delete;
    ApacheFront& operator=(const ApacheFront&) = delete;

    std::uint16_t port() const override { return port_; }
    const std::string& folder() const override { return folder_; }
    std::string errorLog() const override;
    std::string accessLog() const override;

  private:
    ApacheFront() = default;
    Status launch(const std::string& binary);

    FrontOptions options_;
    std::string folder_;
    std::uint16_t port_ = 0;
    FrontProcess process_;
};

}  // namespace vellicor::test
