#pragma once
// The receiving end of the benchmark: one epoll thread on loopback that notes the kernel's
// receive time (SO_TIMESTAMPNS) of every exchange request and every lone floor byte, and
// answers requests with a fixed mall page.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vellicor::bench {

class Receiver {
  public:
    enum class Page { SoldOut, NotOpen };

    Receiver();
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void setPage(Page page);
    void clear();
    // Kernel receive times (ns since the epoch, real-time clock) noted since clear().
    std::vector<std::int64_t> arrivals() const;
    std::int64_t answered() const { return answered_.load(); }

  private:
    struct Conn;
    void loop();
    void accept();
    void readFrom(Conn& c);
    void consume(Conn& c);

    int listen_ = -1;
    int epoll_ = -1;
    int wake_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> answered_{0};
    mutable std::mutex mutex_;
    std::vector<std::int64_t> arrivals_;
    std::string reply_;
    std::thread thread_;
};

}  // namespace vellicor::bench
