#pragma once
// A loopback TCP relay between the tool and a front end that, when told, resets every
// connection it carries at once (SO_LINGER 0 and close, on both sides), as a path whose
// middle box or server drops its connections does, and goes on carrying new ones. TLS passes
// through it untouched.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/result.h"

namespace vellicor::test {

class ResettingRelay {
  public:
    // Listens on a free loopback port and relays each connection to `targetPort`.
    static Result<std::unique_ptr<ResettingRelay>> start(std::uint16_t targetPort);
    ~ResettingRelay();
    ResettingRelay(const ResettingRelay&) = delete;
    ResettingRelay& operator=(const ResettingRelay&) = delete;

    std::uint16_t port() const { return port_; }
    // Resets every connection carried now and returns how many there were. Safe from any
    // thread; returns once they are gone.
    int resetAll();
    // Connections taken since the start, and those reset.
    int accepted() const { return accepted_.load(); }
    int reset() const { return reset_.load(); }

  private:
    struct Pair {
        int client = -1;
        int upstream = -1;
    };

    ResettingRelay() = default;
    void loop();
    void acceptOne();
    bool pump(int from, int to);
    void closePair(std::size_t index, bool hard);
    bool serveCommand();  // true when a reset was served

    std::uint16_t port_ = 0;
    std::uint16_t target_ = 0;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // an eventfd: a reset asked for, or the end
    std::vector<Pair> pairs_;
    std::thread thread_;
    std::atomic<int> accepted_{0};
    std::atomic<int> reset_{0};

    std::mutex mutex_;
    std::condition_variable done_;
    bool resetWanted_ = false;
    int lastReset_ = 0;
    std::uint64_t resetsServed_ = 0;
    bool ending_ = false;
};

}  // namespace vellicor::test
