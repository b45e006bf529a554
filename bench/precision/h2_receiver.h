#pragma once
// The benchmark's TLS receiver for HTTP/2 and HTTP/1.1: one epoll thread on loopback that
// settles each connection's protocol by ALPN (h2, or http/1.1 where h2 is not offered or
// switched off here) and notes the kernel receive time (SO_TIMESTAMPNS) of the TLS record
// that completed each exchange request or lone floor byte.
//
// The socket is read one TLS record at a time (its header, then the rest of it), so each read
// ends where a record ends and its stamp is that of the segment that brought the record's
// last byte. Reads are only taken when the socket is readable; the records are decrypted
// through memory buffers later, between reads (EpollServer's work), and each one's plaintext
// carries its read's stamp into the HTTP/2 session or the HTTP/1.1 parser. So answering one
// connection's requests never delays the stamp of another's.

#include <openssl/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "receiver.h"

namespace vellicor::bench {

// How many bytes to read next so that no read goes past the end of a TLS record.
class RecordCut {
  public:
    std::size_t want() const { return left_ > 0 ? left_ : kHeader - have_; }
    // `n` bytes read, at most want().
    void took(const char* data, std::size_t n);

  private:
    static constexpr std::size_t kHeader = 5;
    unsigned char header_[kHeader] = {};
    std::size_t have_ = 0;  // header bytes of the next record read so far
    std::size_t left_ = 0;  // body bytes of the current record still to come
};

class H2Receiver : private ConnectionHandler {
  public:
    explicit H2Receiver(const TlsFiles& tls, const Listening& where = {});
    ~H2Receiver() override;
    H2Receiver(const H2Receiver&) = delete;
    H2Receiver& operator=(const H2Receiver&) = delete;

    bool ready() const { return ready_; }
    int port() const { return server_.port(); }
    std::string base() const { return "https://" + address_ + ":" + std::to_string(port()); }

    // For handshakes from now on: whether ALPN may settle h2 (else http/1.1 only).
    void offerH2(bool on) { offerH2_ = on; }
    // For HTTP/2 connections opened from now on.
    void setMaxStreams(std::uint32_t n) { maxStreams_ = n; }

    void clear();
    // Receive times (ns since the epoch, real-time clock) since clear(): the kernel's, or
    // the reads' own where Listening::stampReads says so.
    std::vector<std::int64_t> arrivals() const;
    std::vector<std::int64_t> accepts() const;
    // Connections whose handshake finished since clear(), by the protocol ALPN settled.
    struct Protocols {
        int h2 = 0;
        int h2Requests = 0;  // exchange requests that came over HTTP/2
        int http1 = 0;       // ALPN http/1.1, or none
        int errors = 0;      // failed handshakes, TLS errors, HTTP/2 protocol errors
    };
    Protocols protocols() const;

  private:
    struct Conn;
    static int selectAlpn(SSL* ssl, const unsigned char** out, unsigned char* outlen,
                          const unsigned char* in, unsigned int inlen, void* self);
    bool setUpTls(const TlsFiles& files);
    std::unique_ptr<Connection> open(int fd) override;
    void readable(Connection& c) override;
    void writable(Connection& c) override;
    bool hasWork(const Connection& c) const override;
    void work(Connection& c) override;
    bool decrypt(Conn& c, const char* data, std::size_t size, std::int64_t at);
    void settle(Conn& c);
    void deliver(Conn& c, std::string_view plain, std::int64_t at);
    void consumeHttp1(Conn& c, std::int64_t at);
    void send(Conn& c);
    void flush(Conn& c);
    void failed(Conn& c);

    EpollServer server_;
    std::string address_;
    bool ready_ = false;
    SSL_CTX* ctx_ = nullptr;
    std::string body_;  // every reply's page
    std::atomic<bool> offerH2_{true};
    std::atomic<std::uint32_t> maxStreams_{128};
    mutable std::mutex mutex_;
    std::vector<std::int64_t> arrivals_;
    Protocols protocols_;
};

}  // namespace vellicor::bench
