#pragma once
// The receiving end of the benchmark: one epoll thread on loopback, speaking plain HTTP or
// TLS, that notes the kernel's receive time (SO_TIMESTAMPNS) of the bytes that complete each
// exchange request or lone floor byte, and answers requests with a fixed mall page.
//
// A request counts as arrived when its blank line arrives, not its first bytes: a sender that
// writes all but the last byte ahead of the instant has sent nothing the mall can act on
// until that last byte lands.

#include <openssl/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "epoll_server.h"

namespace vellicor::bench {

struct TlsFiles {
    std::string certificate;  // PEM chain
    std::string key;          // PEM private key
};

// Shared by the receivers. The mall's page for a sold-out item or one not open yet (GBK).
enum class Page { SoldOut, NotOpen };
std::string pageBody(Page which);
// Now, as an HTTP Date header's value.
std::string httpDate();
// A whole HTTP/1.1 200 reply with that body.
std::string http1Reply(const std::string& body);

// What the front of a connection's HTTP/1.1 bytes holds. Requests end at their blank line
// (the engine sends no bodies); a floor byte is one 'X'.
enum class Http1Item { Incomplete, FloorByte, Exchange, OtherRequest };
// Takes the front item off `in` (nothing while it is incomplete).
Http1Item takeHttp1Item(std::string& in);

// A server context with the certificate and key; nullptr when they do not load.
SSL_CTX* newServerContext(const TlsFiles& files);
// A server session whose TLS bytes go through memory buffers, so that every read from the
// socket is the receiver's own recvmsg and carries its time stamp.
SSL* newMemorySession(SSL_CTX* ctx);
// Appends what TLS has to send to `out`.
void drainTls(SSL* ssl, std::string& out);

class Receiver : private ConnectionHandler {
  public:
    using Page = bench::Page;

    // Plain HTTP, or TLS with the given server certificate.
    explicit Receiver(std::optional<TlsFiles> tls = std::nullopt);
    ~Receiver() override;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // False when the listener or the TLS set-up failed; nothing is received then.
    bool ready() const { return ready_; }
    bool secure() const { return ctx_ != nullptr; }
    int port() const { return server_.port(); }
    std::string base() const {
        return std::string(secure() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port());
    }
    void setPage(Page page);
    void clear();
    // Kernel receive times (ns since the epoch, real-time clock) noted since clear().
    std::vector<std::int64_t> arrivals() const;
    // Times (same clock) at which connections were accepted since clear(): shows whether a
    // run sent on the connections it opened ahead or had to open new ones at the instant.
    std::vector<std::int64_t> accepts() const;
    std::int64_t answered() const { return answered_.load(); }
    // Exchange requests answered, warm-ups and other requests left out.
    std::int64_t exchanges() const { return exchanges_.load(); }

  private:
    struct Conn;
    std::unique_ptr<Connection> open(int fd) override;
    void readable(Connection& c) override;
    void writable(Connection& c) override;
    bool decrypt(Conn& c, const char* data, std::size_t size);
    void consume(Conn& c, std::int64_t at);
    void reply(Conn& c, const std::string& bytes);
    void flush(Conn& c);

    EpollServer server_;
    bool ready_ = false;
    SSL_CTX* ctx_ = nullptr;
    std::atomic<std::int64_t> answered_{0};
    std::atomic<std::int64_t> exchanges_{0};
    mutable std::mutex mutex_;
    std::vector<std::int64_t> arrivals_;
    std::string reply_;
};

}  // namespace vellicor::bench
