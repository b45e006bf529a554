#pragma once
// The ways a run's requests go by, as the run's course (Engine) sees them: each way is an
// object that plays its life and its routing, and of the other roles, each a small interface
// of its own, only those it has work for. The course keeps
// the ways it chose before the instant in order, the fallback (libcurl's transfers) always
// last: a request goes to the first way that takes it, so a worker that cannot go the first
// way (no connection of the run's own for it) goes the next.

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "mall/poll_entry.h"
#include "mall/resolved_host.h"
#include "mall/run_state.h"
#include "mall/send_way.h"
#include "mall/timeline_recorder.h"
#include "platform/result.h"
#include "web/proxy_setting.h"

namespace vellicor::mall {

// What a way hands back to the run's course.
class SendSink {
  public:
    virtual ~SendSink() = default;
    // The worker's request ended with a reply or why not; the course may ask again.
    virtual void onEnd(std::size_t index, Result<web::Reply> reply) = 0;
    // The worker ends here, with this outcome.
    virtual void report(std::size_t index, Outcome outcome) = 0;
    // The worker's request goes (again) by the first way that takes it now.
    virtual void send(std::size_t index) = 0;
};

// What a way may read of the run's workers, and the few things it records of their
// requests. Plain calls, no virtual ones: the ways call these at the instant, per request.
// Workers and items are indexed as the course made them and neither grows after the ways
// are made.
class RunLedger {
  public:
    RunLedger(std::vector<Worker>& workers, const std::vector<ItemRequest>& items,
              const std::atomic<bool>& cancelRequested)
        : workers_(workers), items_(items), cancel_(cancelRequested) {}

    std::size_t size() const { return workers_.size(); }
    bool ended(std::size_t index) const { return workers_[index].ended; }
    int attempts(std::size_t index) const { return workers_[index].attempts; }
    const ItemRequest& request(std::size_t index) const { return items_[workers_[index].slot]; }
    bool cancelled() const { return cancel_.load(); }

    // A request of the worker's went under way: its bytes written, or handed to libcurl.
    void began(std::size_t index) {
        const int attempt = ++workers_[index].attempts;
        if (timeline_ != nullptr) {
            timeline_->left(index, attempt);
        }
    }
    // It did not reach the mall after all, and goes again as the same attempt.
    void withdrawn(std::size_t index) { --workers_[index].attempts; }
    void sent(int n = 1) { sends_ += n; }     // requests that left whole, retries included
    void unsent(int n = 1) { unsent_ += n; }  // lost before their last byte: never seen

    // Where began() notes the time, if anywhere; set before the ways are made.
    void recordInto(TimelineRecorder* timeline) { timeline_ = timeline; }

    int sends() const { return sends_; }
    int unsentCount() const { return unsent_; }

  private:
    std::vector<Worker>& workers_;  // only a request's start and its withdrawal are written
    const std::vector<ItemRequest>& items_;
    const std::atomic<bool>& cancel_;
    TimelineRecorder* timeline_ = nullptr;
    int sends_ = 0;
    int unsent_ = 0;
};

// What a way is given when it is made: what it reads of the run, and where it reports.
struct WayContext {
    const Config& config;
    const Clock& clock;
    const ResolvedHost& host;
    const LogSink& log;
    bool timed;  // the run waits for an instant (else it goes now)
    RunLedger& ledger;
    SendSink& sink;
    // The proxy setting of the workers this way carries ("" for those going directly), or
    // null for every worker: a way of one route never takes another route's worker.
    const std::string* route = nullptr;

    const HttpSettings& http() const { return config.http; }
    bool ours(std::size_t index) const {
        return route == nullptr || ledger.request(index).page.proxy == *route;
    }
};

// The proxy the way's workers go through (all of them share one when the way is made for
// every worker), or none.
inline web::ProxySetting routeOf(const WayContext& context) {
    for (std::size_t i = 0; i < context.ledger.size(); ++i) {
        if (!context.ours(i)) {
            continue;
        }
        const std::string& proxy = context.ledger.request(i).page.proxy;
        if (proxy.empty()) {
            return {};
        }
        auto parsed = web::parseProxy(proxy);
        return parsed ? std::move(parsed).value() : web::ProxySetting{};
    }
    return {};
}

// What a way opens ahead of the instant, and by when.
struct Priming {
    Clock::Steady deadline;  // connections not open by then are given up
    bool timed = false;      // false: a run of now, which goes once the first connection is open
    int connections = 0;     // the per-host cap, never more than the workers
    int streams = 0;         // workers still to send
};

// The life cycle: opened ahead, fired at the instant, stopped at the end. Every way plays it.
class WayLife {
  public:
    enum class Primed { Ready, Declined };
    virtual ~WayLife() = default;
    // Before the instant (the course has waited for the lead time). Declined: the next way
    // is tried. An error ends every worker with it.
    virtual Result<Primed> prime(const Priming& priming) = 0;
    // At the instant: what was made ready ahead goes out.
    virtual void fire(Clock::Steady now) = 0;
    // Requests under way or waiting for their turn: the course goes on while a way has any.
    virtual bool busy() const = 0;
    // The run ends: nothing is waited for any more.
    virtual void stop() = 0;
};

// Which way a worker's request goes. Every way plays it.
class Routing {
  public:
    virtual ~Routing() = default;
    // Takes the worker's request: sends it, keeps it for later, or ends the worker saying
    // why. False leaves it to the next way.
    virtual bool send(std::size_t index) = 0;
    // Whether a request of the worker's may have reached the mall, answer or not; empty when
    // the worker is not this way's now.
    virtual std::optional<bool> mayHaveArrived(std::size_t index) const = 0;
};

// A way that takes workers before the instant: fire() sends them, or they wait there for
// their turn. The course sends only the others itself.
class HoldingAhead {
  public:
    virtual ~HoldingAhead() = default;
    virtual bool holds(std::size_t index) const = 0;
};

// A way that keeps something for a worker between its requests (a connection, a transfer).
class WorkerKeeping {
  public:
    virtual ~WorkerKeeping() = default;
    // The worker waits to ask again.
    virtual void pause(std::size_t index) = 0;
    // The worker ended: what the way kept for it goes.
    virtual void release(std::size_t index) = 0;
};

// A way with something to settle once every worker's first request went out.
class AfterFiring {
  public:
    virtual ~AfterFiring() = default;
    virtual void afterFire() = 0;
};

// A way whose requests move when it is driven, each pass of the loop after the instant,
// rather than by descriptors of its own.
class Driven {
  public:
    virtual ~Driven() = default;
    virtual void drive() = 0;
};

// A way that waits on descriptors of its own after the instant and times its requests out
// itself.
class PollWork {
  public:
    virtual ~PollWork() = default;
    // Ends requests whose time ran out.
    virtual void expire(Clock::Steady now) = 0;
    // The earlier of `next` and the way's first deadline.
    virtual Clock::Steady nextDeadline(Clock::Steady next) const = 0;
    // Adds the descriptors to wait for; service() gets the same entries back, ready or not.
    virtual void addPolled(std::vector<PollEntry>& polled) = 0;
    virtual void service(std::span<const PollEntry> polled) = 0;
};

// A way that keeps idle connections until the instant: the course gives it a look at them
// shortly before, to drop those the mall closed meanwhile.
class IdleKeeping {
  public:
    virtual ~IdleKeeping() = default;
    virtual void dropStaleConnections() = 0;
};

// One way, by its roles. `life` owns it; the other roles are the same object seen by job,
// or null where it plays none.
struct Way {
    std::unique_ptr<WayLife> life;
    Routing* routing = nullptr;
    HoldingAhead* holding = nullptr;
    WorkerKeeping* keeping = nullptr;
    AfterFiring* afterFiring = nullptr;
    Driven* driven = nullptr;
    PollWork* polled = nullptr;
    IdleKeeping* idle = nullptr;

    template <typename T>
    static Way of(std::unique_ptr<T> way) {
        static_assert(std::is_base_of_v<Routing, T>, "every way routes");
        Way w;
        w.routing = way.get();
        w.holding = as<HoldingAhead>(way.get());
        w.keeping = as<WorkerKeeping>(way.get());
        w.afterFiring = as<AfterFiring>(way.get());
        w.driven = as<Driven>(way.get());
        w.polled = as<PollWork>(way.get());
        w.idle = as<IdleKeeping>(way.get());
        w.life = std::move(way);
        return w;
    }

  private:
    template <typename Role, typename T>
    static Role* as(T* way) {
        if constexpr (std::is_base_of_v<Role, T>) {
            return way;
        } else {
            return nullptr;
        }
    }
};

// How the course waits after the instant: for the ways' descriptors, a time-out, or a wake().
class Poller {
  public:
    virtual ~Poller() = default;
    // Fills in each entry's revents. An error: waiting itself failed, and the run cannot go on.
    virtual Status wait(std::span<PollEntry> polled, int timeoutMs) = 0;
    // From any thread: the wait under way (or the next) returns at once.
    virtual void wake() = 0;
};

// A run's way to the mall: its ways of sending and its poller. Made before the run's thread
// starts (so that a cancel may always wake the poller), used on it.
class RunTransport {
  public:
    virtual ~RunTransport() = default;
    // An error: nothing can be sent at all, and every worker ends with it.
    virtual std::optional<Error> unusable() const = 0;
    virtual Poller& poller() = 0;
    // The ways to try, best first, from `first` on; the last takes every worker it is given
    // (sends it, or ends it saying why).
    virtual std::vector<Way> ways(SendWay first, const WayContext& context) = 0;
};

}  // namespace vellicor::mall
