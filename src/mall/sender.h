#pragma once
// One way of sending a run's requests, as the run's course (Engine) sees it. The course keeps
// the senders it chose before the instant in order, libcurl's transfers always last: a
// request goes to the first that takes it, so a worker that cannot go the first way (no
// connection of the run's own for it) goes the next.

#include <curl/curl.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "mall/resolved_host.h"
#include "mall/run_state.h"
#include "platform/result.h"

namespace vellicor::mall {

// What a sender hands back to the run's course.
class SendSink {
  public:
    virtual ~SendSink() = default;
    // The worker's request ended with a reply or why not; the course may ask again.
    virtual void onEnd(std::size_t index, Result<web::Reply> reply) = 0;
    // The worker ends here, with this outcome.
    virtual void report(std::size_t index, Outcome outcome) = 0;
    // The worker's request goes (again) by the first sender that takes it now.
    virtual void send(std::size_t index) = 0;
};

// What the senders of a run share with its course. Workers and items are indexed as the
// course made them and neither grows after the senders are made.
struct SendContext {
    ExchangeRun::State& s;
    std::vector<Worker>& workers;
    const std::vector<ItemRequest>& items;
    const ResolvedHost& host;
    SendSink& sink;
    int& sends;   // requests that left whole, retries included
    int& unsent;  // requests lost before their last byte left: the mall never saw them

    const Clock& clock() const { return *s.clock; }
    const HttpSettings& http() const { return s.config.http; }
    bool cancelled() const { return s.cancelRequested.load(); }
    const ItemRequest& request(std::size_t index) const { return items[workers[index].item]; }
};

// What a sender opens ahead of the instant, and by when.
struct Priming {
    Clock::Steady deadline;  // connections not open by then are given up
    bool timed = false;      // false: a run of now, which goes once the first connection is open
    int connections = 0;     // the per-host cap, never more than the workers
    int streams = 0;         // workers still to send
};

class Sender {
  public:
    enum class Primed { Ready, Declined };
    virtual ~Sender() = default;

    // Before the instant (the course has waited for the lead time). Declined: the next way
    // is tried. An error ends every worker with it.
    virtual Result<Primed> prime(const Priming& priming) = 0;
    // Whether the sender keeps idle connections until the instant; the course then gives it
    // a look at them shortly before, to drop those the mall closed meanwhile.
    virtual bool keepsIdleConnections() const { return false; }
    virtual void dropStaleConnections() {}

    // At the instant: what was made ready ahead goes out.
    virtual void fire(Clock::Steady /*now*/) {}
    // Whether the worker is this sender's since before the instant: sent by fire(), or
    // waiting for its turn. The course sends the others.
    virtual bool holds(std::size_t /*index*/) const { return false; }
    // After every worker's first request went out.
    virtual void afterFire() {}

    // Takes the worker's request: sends it, keeps it for later, or ends the worker saying
    // why. False leaves it to the next sender.
    virtual bool send(std::size_t index) = 0;
    // Requests under way or waiting for their turn.
    virtual bool busy() const = 0;
    // Moves on whatever needs no waiting.
    virtual void drive() {}
    // Ends requests whose time ran out.
    virtual void expire(Clock::Steady /*now*/) {}
    // The earlier of `next` and the sender's first deadline.
    virtual Clock::Steady nextDeadline(Clock::Steady next) const { return next; }
    // Adds the descriptors to wait for; service() takes the same entries back, from `first`.
    virtual void addPolled(std::vector<curl_waitfd>& /*polled*/) {}
    virtual void service(const std::vector<curl_waitfd>& /*polled*/, std::size_t /*first*/) {}

    // The worker waits to ask again.
    virtual void pause(std::size_t /*index*/) {}
    // The worker ended: what the sender kept for it goes.
    virtual void release(std::size_t /*index*/) {}
    // Whether a request of the worker's may have reached the mall, answer or not; empty when
    // the worker is not this sender's now.
    virtual std::optional<bool> mayHaveArrived(std::size_t index) const = 0;
    // The run ends: nothing is waited for any more.
    virtual void stop() {}
};

}  // namespace vellicor::mall
