#include "mall/route_split.h"

#include <algorithm>

namespace vellicor::mall {

std::vector<std::string> RouteSplit::routes(const RunLedger& ledger) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i < ledger.size(); ++i) {
        const std::string& proxy = ledger.request(i).page.proxy;
        if (std::find(found.begin(), found.end(), proxy) == found.end()) {
            found.push_back(proxy);
        }
    }
    return found;
}

RouteSplit::RouteSplit(const WayContext& context, const Make& make) : c_(context) {
    for (const std::string& proxy : routes(context.ledger)) {
        auto route = std::make_unique<Route>();
        route->proxy = proxy;
        route->context = std::make_unique<WayContext>(context);
        route->context->route = &route->proxy;
        route->way = make(*route->context);
        routes_.push_back(std::move(route));
    }
}

// Each route its share of the connections by its workers, at least one. One route that
// cannot go this way sends the whole run the next way, every route alike: the mall is the
// same behind every proxy.
Result<WayLife::Primed> RouteSplit::prime(const Priming& priming) {
    std::vector<int> workers(routes_.size(), 0);
    int total = 0;
    for (std::size_t i = 0; i < c_.ledger.size(); ++i) {
        for (std::size_t r = 0; r < routes_.size(); ++r) {
            if (!c_.ledger.ended(i) && routes_[r]->context->ours(i)) {
                ++workers[r];
                ++total;
            }
        }
    }
    for (std::size_t r = 0; r < routes_.size(); ++r) {
        Priming share = priming;
        share.streams = workers[r];
        share.connections = std::max(1, total > 0 ? priming.connections * workers[r] / total : 1);
        auto primed = routes_[r]->way.life->prime(share);
        if (!primed || *primed == Primed::Declined) {
            return primed;
        }
    }
    return Primed::Ready;
}

void RouteSplit::fire(Clock::Steady now) {
    for (auto& r : routes_) {
        r->way.life->fire(now);
    }
}

void RouteSplit::afterFire() {
    for (auto& r : routes_) {
        if (r->way.afterFiring != nullptr) {
            r->way.afterFiring->afterFire();
        }
    }
}

void RouteSplit::stop() {
    for (auto& r : routes_) {
        r->way.life->stop();
    }
}

RouteSplit::Route* RouteSplit::routeOfWorker(std::size_t index) {
    for (auto& r : routes_) {
        if (r->context->ours(index)) {
            return r.get();
        }
    }
    return nullptr;
}

const RouteSplit::Route* RouteSplit::routeOfWorker(std::size_t index) const {
    return const_cast<RouteSplit*>(this)->routeOfWorker(index);
}

bool RouteSplit::send(std::size_t index) {
    Route* r = routeOfWorker(index);
    return r != nullptr && r->way.routing->send(index);
}

bool RouteSplit::holds(std::size_t index) const {
    const Route* r = routeOfWorker(index);
    return r != nullptr && r->way.holding != nullptr && r->way.holding->holds(index);
}

void RouteSplit::pause(std::size_t index) {
    Route* r = routeOfWorker(index);
    if (r != nullptr && r->way.keeping != nullptr) {
        r->way.keeping->pause(index);
    }
}

void RouteSplit::release(std::size_t index) {
    Route* r = routeOfWorker(index);
    if (r != nullptr && r->way.keeping != nullptr) {
        r->way.keeping->release(index);
    }
}

std::optional<bool> RouteSplit::mayHaveArrived(std::size_t index) const {
    const Route* r = routeOfWorker(index);
    return r != nullptr ? r->way.routing->mayHaveArrived(index) : std::nullopt;
}

bool RouteSplit::busy() const {
    return std::any_of(routes_.begin(), routes_.end(),
                       [](const auto& r) { return r->way.life->busy(); });
}

void RouteSplit::drive() {
    for (auto& r : routes_) {
        if (r->way.driven != nullptr) {
            r->way.driven->drive();
        }
    }
}

void RouteSplit::expire(Clock::Steady now) {
    for (auto& r : routes_) {
        if (r->way.polled != nullptr) {
            r->way.polled->expire(now);
        }
    }
}

Clock::Steady RouteSplit::nextDeadline(Clock::Steady next) const {
    for (const auto& r : routes_) {
        if (r->way.polled != nullptr) {
            next = r->way.polled->nextDeadline(next);
        }
    }
    return next;
}

void RouteSplit::addPolled(std::vector<PollEntry>& polled) {
    for (auto& r : routes_) {
        r->polledFrom = polled.size();
        if (r->way.polled != nullptr) {
            r->way.polled->addPolled(polled);
        }
        r->polledCount = polled.size() - r->polledFrom;
    }
}

void RouteSplit::service(std::span<const PollEntry> polled) {
    for (auto& r : routes_) {
        if (r->way.polled != nullptr && r->polledFrom + r->polledCount <= polled.size()) {
            r->way.polled->service(polled.subspan(r->polledFrom, r->polledCount));
        }
    }
}

void RouteSplit::dropStaleConnections() {
    for (auto& r : routes_) {
        if (r->way.idle != nullptr) {
            r->way.idle->dropStaleConnections();
        }
    }
}

}  // namespace vellicor::mall
