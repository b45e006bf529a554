#pragma once
// libcurl's own transfers on the run's multi handle: the way through a proxy, and the way
// every other sender falls back to for a worker it cannot carry.

#include <curl/curl.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "mall/sender.h"
#include "web/transfer.h"

namespace vellicor::mall {

class CurlSender final : public Sender {
  public:
    explicit CurlSender(SendContext context);

    Result<Primed> prime(const Priming& priming) override;
    bool send(std::size_t index) override;
    bool busy() const override { return inFlight_ > 0; }
    void drive() override;
    void pause(std::size_t index) override;
    void release(std::size_t index) override;
    std::optional<bool> mayHaveArrived(std::size_t index) const override;
    void stop() override;

  private:
    struct Pending {
        std::unique_ptr<web::Transfer> transfer;
        bool added = false;  // on the multi handle
    };
    bool ensureTransfer(std::size_t index);
    void drainDone();
    void settle(std::size_t index, CURLcode code);

    SendContext c_;
    std::vector<Pending> pending_;  // by worker
    std::unordered_map<CURL*, std::size_t> byHandle_;
    int inFlight_ = 0;
};

}  // namespace vellicor::mall
