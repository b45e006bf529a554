#pragma once
// HAProxy as a TLS front end of the simulator: h2 and http/1.1 by ALPN on one bind, the
// mall as its one server. It reads its certificate and key from one PEM file, made in its
// folder; its request log goes to standard output, kept in that folder.

#include <cstdint>
#include <memory>
#include <string>

#include "front_end.h"
#include "front_process.h"
#include "platform/result.h"

namespace vellicor::test {

class HaproxyFront final : public FrontEnd {
  public:
    static Result<std::unique_ptr<HaproxyFront>> start(const FrontOptions& options);
    ~HaproxyFront() override;
    HaproxyFront(const HaproxyFront&) = delete;
    HaproxyFront& operator=(const HaproxyFront&) = delete;

    std::uint16_t port() const override { return port_; }
    const std::string& folder() const override { return folder_; }
    std::string errorLog() const override;
    std::string accessLog() const override;

  private:
    HaproxyFront() = default;
    Status launch(const std::string& binary);

    FrontOptions options_;
    std::string folder_;
    std::uint16_t port_ = 0;
    FrontProcess process_;
};

}  // namespace vellicor::test
