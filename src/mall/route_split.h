#pragma once
// Accounts that leave by different proxies (or some by one and some directly) on a way of the
// run's own: one way of the same kind for each route, each opening its own connections through
// its own proxy and taking only its own route's workers, so that no connection ever carries
// a request of another route. Seen from the run's course it is one way, which passes each
// role on to the routes' ways that play it.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mall/send_roles.h"

namespace vellicor::mall {

class RouteSplit final : public WayLife,
                         public Routing,
                         public HoldingAhead,
                         public WorkerKeeping,
                         public AfterFiring,
                         public Driven,
                         public PollWork,
                         public IdleKeeping {
  public:
    // Makes the way of one route from its context (whose route is set).
    using Make = std::function<Way(const WayContext&)>;

    RouteSplit(const WayContext& context, const Make& make);

    // The distinct proxy settings of the run's workers, in the order they first appear.
    static std::vector<std::string> routes(const RunLedger& ledger);

    Result<Primed> prime(const Priming& priming) override;
    void fire(Clock::Steady now) override;
    bool busy() const override;
    void stop() override;

    bool send(std::size_t index) override;
    std::optional<bool> mayHaveArrived(std::size_t index) const override;
    bool holds(std::size_t index) const override;
    void pause(std::size_t index) override;
    void release(std::size_t index) override;
    void afterFire() override;
    void drive() override;

    void expire(Clock::Steady now) override;
    Clock::Steady nextDeadline(Clock::Steady next) const override;
    void addPolled(std::vector<PollEntry>& polled) override;
    void service(std::span<const PollEntry> polled) override;

    void dropStaleConnections() override;

  private:
    struct Route {
        std::string proxy;
        std::unique_ptr<WayContext> context;
        Way way;
        std::size_t polledFrom = 0;
        std::size_t polledCount = 0;
    };
    Route* routeOfWorker(std::size_t index);
    const Route* routeOfWorker(std::size_t index) const;

    const WayContext& c_;
    std::vector<std::unique_ptr<Route>> routes_;
};

}  // namespace vellicor::mall
