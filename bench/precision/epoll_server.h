#pragma once
// The receivers' common ground: a non-blocking listener on loopback and one epoll thread that
// accepts connections, stamps what they read with the kernel's receive time (SO_TIMESTAMPNS)
// and hands their bytes to the socket. What a connection's bytes mean is the handler's.
//
// Across a lossy path the kernel's stamp misleads: bytes that came ahead of a lost segment
// wait in the socket with their own early stamp, and the read that finally returns them
// carries it. There the listener stamps each read with the moment it returned instead, when
// the bytes could first be acted on.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vellicor::bench {

// The real-time clock now, in ns since the epoch.
std::int64_t wallNowNs();
// The kernel's receive time of the last segment a recvmsg took; without one, now.
std::int64_t stampOf(msghdr& msg);
// A non-blocking listener on `address` (IPv4) with receive time stamps on; -1 when it failed.
int listenOn(const std::string& address, int& port);

// Where a receiver listens and how it stamps what it reads.
struct Listening {
    std::string address = "127.0.0.1";
    bool stampReads = false;  // the moment each read returned, not the kernel's receive time
};

// One accepted socket and the bytes it has not taken yet; a handler adds its own state.
struct Connection {
    int fd = -1;
    bool dead = false;  // dropped once the event that found it so is handled
    bool watchingOutput = false;
    bool stampReads = false;  // as its listener's Listening says
    bool waiting = false;     // in the loop's queue of connections with work taken
    std::string out;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    virtual ~Connection();
};

// Called on the loop's thread only.
class ConnectionHandler {
  public:
    virtual ~ConnectionHandler() = default;
    // A connection for a socket just accepted (non-blocking, stamping, no Nagle).
    virtual std::unique_ptr<Connection> open(int fd) = 0;
    virtual void readable(Connection& c) = 0;
    virtual void writable(Connection& c) = 0;
    // A handler may only take the bytes in readable() and act on them later, in work(): the
    // loop works on one connection at a time and reads whatever came meanwhile first, so a
    // read is stamped when its bytes could be read, not after the answers to the others.
    virtual bool hasWork(const Connection&) const { return false; }
    virtual void work(Connection&) {}
};

class EpollServer {
  public:
    explicit EpollServer(const Listening& where = {});
    ~EpollServer();
    EpollServer(const EpollServer&) = delete;
    EpollServer& operator=(const EpollServer&) = delete;

    bool listening() const { return listen_ >= 0; }
    int port() const { return port_; }
    // The handler must outlive the loop: its owner calls stop() before it goes.
    void start(ConnectionHandler& handler);
    void stop();

    void clearAccepts();
    // Times (real-time clock) at which connections were accepted since clearAccepts(): shows
    // whether a run sent on the connections it opened ahead or had to open new ones.
    std::vector<std::int64_t> accepts() const;

    // One read of up to `size` bytes, stamped in `at`: the count read, 0 when nothing waits,
    // -1 when the peer has gone (the connection is then dead).
    static std::ptrdiff_t readStamped(Connection& c, char* buf, std::size_t size, std::int64_t& at);
    // Hands c.out to the socket as far as it takes it, and asks for a writable wake-up
    // only while bytes wait, so an idle connection costs nothing.
    void sendOut(Connection& c);

  private:
    void loop(ConnectionHandler& handler);
    void handle(ConnectionHandler& handler, const epoll_event& event);
    void workOnNext(ConnectionHandler& handler);
    void dropIfDone(ConnectionHandler& handler, int fd);
    void accept(ConnectionHandler& handler);
    void watch(Connection& c, bool output);

    int listen_ = -1;
    int epoll_ = -1;
    int wake_ = -1;
    int port_ = 0;
    bool stampReads_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::int64_t> accepts_;
    std::map<int, std::unique_ptr<Connection>> conns_;  // the loop thread's own
    std::deque<int> waiting_;                           // the loop thread's own
    std::thread thread_;
};

}  // namespace vellicor::bench
