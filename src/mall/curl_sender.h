#pragma once
// libcurl's own transfers on the run's multi handle: the way through a proxy, and the way
// every other falls back to for a worker it cannot carry.

#include <curl/curl.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "mall/send_roles.h"
#include "web/transfer.h"

namespace vellicor::mall {

// Its transfers wait on the multi handle, which the run's poller watches, and libcurl times
// them out itself: it keeps no descriptors or deadlines of its own.
class CurlSender final : public WayLife,
                         public Routing,
                         public WorkerKeeping,
                         public AfterFiring,
                         public Driven {
  public:
    CurlSender(const WayContext& context, CURLM* multi);

    Result<Primed> prime(const Priming& priming) override;
    void fire(Clock::Steady /*now*/) override { firing_ = true; }
    bool busy() const override { return inFlight_ > 0; }
    void stop() override;

    bool send(std::size_t index) override;
    std::optional<bool> mayHaveArrived(std::size_t index) const override;
    void pause(std::size_t index) override;
    void release(std::size_t index) override;
    void afterFire() override { firing_ = false; }
    void drive() override;

  private:
    struct Pending {
        std::unique_ptr<web::Transfer> transfer;
        bool added = false;  // on the multi handle
    };
    std::vector<std::string> connectionProxies(int connections) const;
    bool ensureTransfer(std::size_t index);
    void drainDone();
    void settle(std::size_t index, CURLcode code);

    WayContext c_;
    CURLM* multi_;
    std::vector<Pending> pending_;  // by worker
    std::unordered_map<CURL*, std::size_t> byHandle_;
    int inFlight_ = 0;
    bool firing_ = false;  // in the pass at the instant, before its first transfer was kicked
};

}  // namespace vellicor::mall
