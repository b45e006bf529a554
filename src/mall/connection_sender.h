#pragma once
// Requests written by the engine itself on HTTP/1.1 connections of the run's own (see
// PrimedConnections), one request at a time on each and kept alive between them. Workers past
// the per-host cap wait in a queue for a connection to come free; a worker that has none to
// go on is left to the next sender.
//
// The sender is a template over its connections so that its rules can be exercised on
// connections that answer from a script, while the run's own path at the instant stays plain
// calls on PrimedConnections: no virtual call, nothing built per request. The member bodies
// live in connection_sender_impl.h; connection_sender.cpp instantiates them for
// PrimedConnections. What the connections type offers is what PrimedConnections offers (its
// Io, wanted, size, socket, alive, write, read, stale, close, readableIdle).

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mall/primed.h"
#include "mall/send_roles.h"
#include "web/wire.h"

namespace vellicor::mall {

template <typename Connections>
class BasicConnectionSender final : public WayLife,
                                    public Routing,
                                    public HoldingAhead,
                                    public WorkerKeeping,
                                    public AfterFiring,
                                    public PollWork,
                                    public IdleKeeping {
  public:
    // How prime() gets its connections: blocks until they are open or the deadline passed.
    using Opener = std::function<std::unique_ptr<Connections>(const PrimedConnections::Request&,
                                                              const Clock&)>;

    BasicConnectionSender(const WayContext& context, Opener open);

    Result<Primed> prime(const Priming& priming) override;
    void fire(Clock::Steady now) override;
    bool busy() const override { return onConn_ > 0 || !queued_.empty(); }
    void stop() override;

    bool send(std::size_t index) override;
    std::optional<bool> mayHaveArrived(std::size_t index) const override;
    bool holds(std::size_t index) const override;
    void pause(std::size_t index) override { lendConnection(index); }
    void release(std::size_t index) override;
    void afterFire() override { flushQueueIfNoConnections(); }

    void expire(Clock::Steady now) override;
    Clock::Steady nextDeadline(Clock::Steady next) const override;
    void addPolled(std::vector<PollEntry>& polled) override;
    void service(std::span<const PollEntry> polled) override;

    void dropStaleConnections() override;

  private:
    using Io = typename Connections::Io;
    struct Own {
        int conn = -1;    // the connection's number, -1 for none
        std::string out;  // bytes of the current request not yet written
        std::unique_ptr<web::ReplyReader> reader;
        Clock::Steady deadline{};
        bool onConn = false;  // a request on its connection waits for its reply
        bool lent = false;    // lent its connection to a waiting worker while it waits to ask again
        bool queued = false;  // waits in the queue for a connection
    };
    void assignConnections(int cap);
    void writeAllButLastByte();
    void dropHead(std::size_t index);
    void queue(std::size_t index);
    std::size_t unqueue();
    void sendOnConnection(std::size_t index, Clock::Steady now);
    void flush(std::size_t index);
    void connectionEnded(std::size_t index);
    int takeFreeConnection();
    bool anyConnectionAlive() const;
    void flushQueueIfNoConnections();
    void handOn(int conn);
    void serviceOne(std::size_t index, short revents);
    void readReply(std::size_t index);
    void goAgain(std::size_t index);
    void lendConnection(std::size_t index);
    std::unique_ptr<web::ReplyReader> newReader(std::size_t index) const;

    WayContext c_;
    Opener open_;
    std::unique_ptr<Connections> conns_;
    std::vector<Own> own_;            // by worker
    std::deque<std::size_t> queued_;  // workers waiting for a connection to come free
    std::vector<int> freeConns_;      // open connections nobody holds
    std::vector<std::size_t> polledWorker_;
    int onConn_ = 0;
};

using ConnectionSender = BasicConnectionSender<PrimedConnections>;
extern template class BasicConnectionSender<PrimedConnections>;

}  // namespace vellicor::mall
