#include "h2_receiver.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

#include "h2_session.h"

namespace vellicor::bench {
namespace {

constexpr std::size_t kChunk = 16384;
// ALPN lists in wire form, the server's preference first.
constexpr unsigned char kH2First[] = "\x02h2\x08http/1.1";
constexpr unsigned char kHttp1Only[] = "\x08http/1.1";

}  // namespace

void RecordCut::took(const char* data, std::size_t n) {
    if (left_ > 0) {
        left_ -= n;
        return;
    }
    std::memcpy(header_ + have_, data, n);
    have_ += n;
    if (have_ == kHeader) {
        left_ = static_cast<std::size_t>(header_[3]) << 8 | header_[4];
        have_ = 0;
    }
}

struct H2Receiver::Conn : Connection {
    enum class Proto { Pending, H2, Http1 };
    SSL* ssl = nullptr;
    Proto proto = Proto::Pending;
    bool closing = false;  // drop once what is queued has been handed to the socket
    bool broken = false;   // a TLS or protocol error: nothing more is read into it
    int errorsNoted = 0;   // the HTTP/2 session's errors already counted
    RecordCut cut;
    std::deque<std::pair<std::string, std::int64_t>> taken;  // reads not yet decrypted
    std::unique_ptr<H2ServerSession> h2;
    std::string in;  // HTTP/1.1 plaintext not yet answered

    ~Conn() override { SSL_free(ssl); }
};

H2Receiver::H2Receiver(const TlsFiles& tls, const Listening& where)
    : server_(where), address_(where.address), body_(pageBody(Page::SoldOut)) {
    ready_ = setUpTls(tls) && server_.listening();
    if (ready_) {
        server_.start(*this);
    }
}

H2Receiver::~H2Receiver() {
    server_.stop();
    SSL_CTX_free(ctx_);
}

int H2Receiver::selectAlpn(SSL*, const unsigned char** out, unsigned char* outlen,
                           const unsigned char* in, unsigned int inlen, void* self) {
    const bool h2 = static_cast<H2Receiver*>(self)->offerH2_.load();
    const unsigned char* ours = h2 ? kH2First : kHttp1Only;
    const unsigned int size = h2 ? sizeof kH2First - 1 : sizeof kHttp1Only - 1;
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outlen, ours, size, in, inlen) != OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_NOACK;  // no common protocol: HTTP/1.1 without ALPN
    }
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

bool H2Receiver::setUpTls(const TlsFiles& files) {
    ctx_ = newServerContext(files);
    if (ctx_ != nullptr) {
        SSL_CTX_set_alpn_select_cb(ctx_, &H2Receiver::selectAlpn, this);
    }
    return ctx_ != nullptr;
}

void H2Receiver::clear() {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    server_.clearAccepts();
    protocols_ = {};
}

std::vector<std::int64_t> H2Receiver::arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

std::vector<std::int64_t> H2Receiver::accepts() const {
    return server_.accepts();
}

H2Receiver::Protocols H2Receiver::protocols() const {
    std::lock_guard lock(mutex_);
    return protocols_;
}

std::unique_ptr<Connection> H2Receiver::open(int) {
    auto conn = std::make_unique<Conn>();
    conn->ssl = newMemorySession(ctx_);
    return conn;
}

// One read per TLS record (or the rest of one), each with its own stamp.
void H2Receiver::readable(Connection& conn) {
    auto& c = static_cast<Conn&>(conn);
    while (!c.dead && !c.closing) {
        char buf[kChunk + 512];
        std::int64_t at = 0;
        const auto got = EpollServer::readStamped(c, buf, std::min(c.cut.want(), sizeof buf), at);
        if (got <= 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(got);
        c.cut.took(buf, size);
        c.taken.emplace_back(std::string(buf, size), at);
    }
}

bool H2Receiver::hasWork(const Connection& conn) const {
    return !static_cast<const Conn&>(conn).taken.empty();
}

void H2Receiver::work(Connection& conn) {
    auto& c = static_cast<Conn&>(conn);
    while (!c.taken.empty()) {
        const auto [bytes, at] = std::move(c.taken.front());
        c.taken.pop_front();
        if (!c.broken && !decrypt(c, bytes.data(), bytes.size(), at)) {
            failed(c);
        }
    }
    if (!c.dead) {
        send(c);
    }
}

void H2Receiver::writable(Connection& conn) {
    flush(static_cast<Conn&>(conn));
}

// The handshake runs inside SSL_read; its own replies wait in the output buffer for flush().
bool H2Receiver::decrypt(Conn& c, const char* data, std::size_t size, std::int64_t at) {
    BIO_write(SSL_get_rbio(c.ssl), data, static_cast<int>(size));
    for (;;) {
        char plain[kChunk];
        const int n = SSL_read(c.ssl, plain, sizeof plain);
        if (c.proto == Conn::Proto::Pending && SSL_is_init_finished(c.ssl)) {
            settle(c);
        }
        if (n > 0) {
            deliver(c, std::string_view(plain, static_cast<std::size_t>(n)), at);
            continue;
        }
        const int err = SSL_get_error(c.ssl, n);
        ERR_clear_error();
        c.closing = c.closing || err == SSL_ERROR_ZERO_RETURN;  // the peer's close_notify
        return err == SSL_ERROR_WANT_READ || err == SSL_ERROR_ZERO_RETURN;
    }
}

void H2Receiver::settle(Conn& c) {
    const unsigned char* alpn = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(c.ssl, &alpn, &len);
    const bool h2 = std::string_view(reinterpret_cast<const char*>(alpn), len) == "h2";
    c.proto = h2 ? Conn::Proto::H2 : Conn::Proto::Http1;
    if (h2) {
        c.h2 = H2ServerSession::create({maxStreams_.load(), body_});
    }
    std::lock_guard lock(mutex_);
    ++(h2 ? protocols_.h2 : protocols_.http1);
    if (h2 && c.h2 == nullptr) {
        ++protocols_.errors;
        c.dead = true;
    }
}

void H2Receiver::deliver(Conn& c, std::string_view plain, std::int64_t at) {
    if (c.proto == Conn::Proto::Http1) {
        c.in.append(plain);
        consumeHttp1(c, at);
        return;
    }
    if (c.h2 == nullptr || c.closing) {
        return;
    }
    const bool ok = c.h2->receive(plain, at);
    std::lock_guard lock(mutex_);
    for (const H2Arrival& a : c.h2->takeArrivals()) {
        if (a.exchange) {
            arrivals_.push_back(a.at);
            ++protocols_.h2Requests;
        }
    }
    c.closing = c.closing || !ok;
}

void H2Receiver::consumeHttp1(Conn& c, std::int64_t at) {
    for (Http1Item item; (item = takeHttp1Item(c.in)) != Http1Item::Incomplete;) {
        if (item != Http1Item::OtherRequest) {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(at);
        }
        if (item == Http1Item::FloorByte) {
            continue;
        }
        const std::string reply = http1Reply(body_);
        if (SSL_write(c.ssl, reply.data(), static_cast<int>(reply.size())) <= 0) {
            failed(c);
            return;
        }
    }
}

// Hands the HTTP/2 session's frames to TLS and everything to the socket; a connection that
// is closing goes once its last words (a GOAWAY, say) are handed to the socket.
void H2Receiver::send(Conn& c) {
    if (c.h2 != nullptr) {
        const std::string frames = c.h2->takeOutput();
        if (!frames.empty() &&
            SSL_write(c.ssl, frames.data(), static_cast<int>(frames.size())) <= 0) {
            failed(c);
        }
        const int errors = c.h2->protocolErrors();
        {
            std::lock_guard lock(mutex_);
            protocols_.errors += errors - c.errorsNoted;
        }
        c.errorsNoted = errors;
        c.closing = c.closing || c.h2->done();
    }
    flush(c);
    c.dead = c.dead || c.closing;
}

void H2Receiver::flush(Conn& c) {
    drainTls(c.ssl, c.out);
    server_.sendOut(c);
}

void H2Receiver::failed(Conn& c) {
    ERR_clear_error();
    c.dead = true;
    c.broken = true;
    std::lock_guard lock(mutex_);
    ++protocols_.errors;
}

}  // namespace vellicor::bench
