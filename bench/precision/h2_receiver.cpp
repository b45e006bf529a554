#include "h2_receiver.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "h2_session.h"

namespace vellicor::bench {
namespace {

constexpr std::string_view kExchange = "GET /mall/index.php?op=exchangeing";
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

struct H2Receiver::Conn {
    enum class Proto { Pending, H2, Http1 };
    int fd = -1;
    SSL* ssl = nullptr;
    Proto proto = Proto::Pending;
    bool dead = false;     // drop now
    bool closing = false;  // drop once what is queued has been handed to the socket
    int errorsNoted = 0;   // the HTTP/2 session's errors already counted
    bool watchingOutput = false;
    RecordCut cut;
    std::unique_ptr<H2ServerSession> h2;
    std::string in;   // HTTP/1.1 plaintext not yet answered
    std::string out;  // bytes the socket has not taken yet

    Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn() {
        SSL_free(ssl);
        if (fd >= 0) {
            close(fd);
        }
    }
};

H2Receiver::H2Receiver(const TlsFiles& tls) : body_(pageBody(Page::SoldOut)) {
    listen_ = listenOnLoopback(port_);
    ready_ = setUpTls(tls) && listen_ >= 0;
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
    ev.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    if (ready_) {
        thread_ = std::thread([this] { loop(); });
    }
}

H2Receiver::~H2Receiver() {
    stop_ = true;
    const std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    if (thread_.joinable()) {
        thread_.join();
    }
    conns_.clear();
    close(listen_);
    close(epoll_);
    close(wake_);
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
    ctx_ = SSL_CTX_new(TLS_server_method());
    const bool ok = ctx_ != nullptr &&
                    SSL_CTX_use_certificate_chain_file(ctx_, files.certificate.c_str()) == 1 &&
                    SSL_CTX_use_PrivateKey_file(ctx_, files.key.c_str(), SSL_FILETYPE_PEM) == 1 &&
                    SSL_CTX_check_private_key(ctx_) == 1;
    ERR_clear_error();
    if (ok) {
        SSL_CTX_set_alpn_select_cb(ctx_, &H2Receiver::selectAlpn, this);
    }
    return ok;
}

void H2Receiver::clear() {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    accepts_.clear();
    protocols_ = {};
}

std::vector<std::int64_t> H2Receiver::arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

std::vector<std::int64_t> H2Receiver::accepts() const {
    std::lock_guard lock(mutex_);
    return accepts_;
}

H2Receiver::Protocols H2Receiver::protocols() const {
    std::lock_guard lock(mutex_);
    return protocols_;
}

void H2Receiver::loop() {
    epoll_event events[256];
    while (!stop_) {
        const int n = epoll_wait(epoll_, events, 256, 200);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listen_) {
                accept();
            }
            auto it = conns_.find(fd);
            if (it == conns_.end()) {
                continue;
            }
            Conn& c = *it->second;
            if ((events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                readFrom(c);
            }
            if (!c.dead && (events[i].events & EPOLLOUT) != 0) {
                flush(c);
            }
            if (c.dead) {
                conns_.erase(it);
            }
        }
    }
    conns_.clear();
}

void H2Receiver::accept() {
    for (;;) {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            accepts_.push_back(wallNowNs());
        }
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto conn = std::make_unique<Conn>();
        conn->fd = fd;
        conn->ssl = SSL_new(ctx_);
        SSL_set_bio(conn->ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_accept_state(conn->ssl);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        conns_[fd] = std::move(conn);
    }
}

// One read per TLS record (or the rest of one), each with its own stamp.
void H2Receiver::readFrom(Conn& c) {
    while (!c.dead && !c.closing) {
        char buf[kChunk + 512];
        alignas(cmsghdr) char control[256];
        iovec iov{buf, std::min(c.cut.want(), sizeof buf)};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(c.fd, &msg, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (got <= 0) {
            c.dead = true;
            return;
        }
        const auto size = static_cast<std::size_t>(got);
        c.cut.took(buf, size);
        if (!decrypt(c, buf, size, stampOf(msg))) {
            failed(c);
        }
    }
    if (!c.dead) {
        send(c);
    }
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

// Requests end at their blank line (the engine sends no bodies); a floor byte is one 'X'.
void H2Receiver::consumeHttp1(Conn& c, std::int64_t at) {
    while (!c.in.empty()) {
        if (c.in.front() == 'X') {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(at);
            c.in.erase(0, 1);
            continue;
        }
        const auto end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) {
            return;
        }
        if (c.in.compare(0, kExchange.size(), kExchange) == 0) {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(at);
        }
        c.in.erase(0, end + 4);
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
    char buf[kChunk];
    for (int n; (n = BIO_read(SSL_get_wbio(c.ssl), buf, sizeof buf)) > 0;) {
        c.out.append(buf, static_cast<std::size_t>(n));
    }
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            c.dead = true;
            return;
        }
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    watch(c, !c.out.empty());
}

// Asks for a writable wake-up only while bytes wait, so an idle connection costs nothing.
void H2Receiver::watch(Conn& c, bool output) {
    if (output == c.watchingOutput) {
        return;
    }
    c.watchingOutput = output;
    epoll_event ev{};
    ev.events = output ? static_cast<std::uint32_t>(EPOLLIN | EPOLLOUT) : EPOLLIN;
    ev.data.fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void H2Receiver::failed(Conn& c) {
    ERR_clear_error();
    c.dead = true;
    std::lock_guard lock(mutex_);
    ++protocols_.errors;
}

}  // namespace vellicor::bench
