#include "receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/codec.h"

namespace vellicor::bench {
namespace {

constexpr std::string_view kExchange = "GET /mall/index.php?op=exchangeing";
constexpr std::size_t kChunk = 16384;

std::string page(Receiver::Page which) {
    return http1Reply(pageBody(which));
}

}  // namespace

std::string pageBody(Receiver::Page which) {
    const std::string text = which == Receiver::Page::SoldOut
                                 ? "<p>该商品今日已被兑换完</p>"
                                 : "<p>很抱歉，该商品还未到点开始兑换，请稍后再来</p>";
    auto encoded = utf8ToGbk("<html><body>" + text + "</body></html>");
    return encoded ? std::move(encoded).value() : std::string();
}

std::string httpDate() {
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return date;
}

std::string http1Reply(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nDate: " + httpDate() +
           "\r\nContent-Type: text/html; charset=gbk\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body;
}

std::int64_t wallNowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Without a stamp the time of reading stands in: a little late, never early.
std::int64_t stampOf(msghdr& msg) {
    for (cmsghdr* h = CMSG_FIRSTHDR(&msg); h != nullptr; h = CMSG_NXTHDR(&msg, h)) {
        if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(h), sizeof ts);
            return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        }
    }
    return wallNowNs();
}

int listenOnLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set on the listener too, so that bytes queued before accept() carry their time.
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 4096) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

struct Receiver::Conn {
    int fd = -1;
    // Under TLS the socket's bytes go through memory buffers, so that every read from the
    // socket is our own recvmsg and carries its time stamp.
    SSL* ssl = nullptr;
    bool dead = false;
    bool watchingOutput = false;
    std::string in;   // request bytes not yet answered (decrypted under TLS)
    std::string out;  // bytes the socket has not taken yet

    Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn() {
        if (ssl != nullptr) {
            SSL_free(ssl);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
};

Receiver::Receiver(std::optional<TlsFiles> tls) : reply_(page(Page::SoldOut)) {
    listen_ = listenOnLoopback(port_);
    ready_ = (!tls || setUpTls(*tls)) && listen_ >= 0;
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

Receiver::~Receiver() {
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

bool Receiver::setUpTls(const TlsFiles& files) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    const bool ok = ctx_ != nullptr &&
                    SSL_CTX_use_certificate_chain_file(ctx_, files.certificate.c_str()) == 1 &&
                    SSL_CTX_use_PrivateKey_file(ctx_, files.key.c_str(), SSL_FILETYPE_PEM) == 1 &&
                    SSL_CTX_check_private_key(ctx_) == 1;
    ERR_clear_error();
    return ok;
}

void Receiver::setPage(Page which) {
    std::lock_guard lock(mutex_);
    reply_ = page(which);
}

void Receiver::clear() {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    accepts_.clear();
}

std::vector<std::int64_t> Receiver::arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

std::vector<std::int64_t> Receiver::accepts() const {
    std::lock_guard lock(mutex_);
    return accepts_;
}

void Receiver::loop() {
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

void Receiver::accept() {
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
        if (ctx_ != nullptr) {
            conn->ssl = SSL_new(ctx_);
            SSL_set_bio(conn->ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
            SSL_set_accept_state(conn->ssl);
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        conns_[fd] = std::move(conn);
    }
}

// Each read is handled on its own, with its own time stamp: a request is stamped with the
// read in which its last bytes came.
void Receiver::readFrom(Conn& c) {
    while (!c.dead) {
        char buf[kChunk];
        alignas(cmsghdr) char control[256];
        iovec iov{buf, sizeof buf};
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
        const std::int64_t at = stampOf(msg);
        const auto size = static_cast<std::size_t>(got);
        if (c.ssl == nullptr) {
            c.in.append(buf, size);
        } else if (!decrypt(c, buf, size)) {
            c.dead = true;
            return;
        }
        consume(c, at);
    }
    flush(c);
}

// The handshake runs inside SSL_read; its own replies wait in the output buffer for flush().
bool Receiver::decrypt(Conn& c, const char* data, std::size_t size) {
    BIO_write(SSL_get_rbio(c.ssl), data, static_cast<int>(size));
    for (;;) {
        char plain[kChunk];
        const int n = SSL_read(c.ssl, plain, sizeof plain);
        if (n > 0) {
            c.in.append(plain, static_cast<std::size_t>(n));
            continue;
        }
        const int err = SSL_get_error(c.ssl, n);
        if (err == SSL_ERROR_WANT_READ) {
            return true;
        }
        ERR_clear_error();
        return false;
    }
}

// Requests end at their blank line (the engine sends no bodies); a floor byte is one 'X'.
void Receiver::consume(Conn& c, std::int64_t at) {
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
        const bool exchange = c.in.compare(0, kExchange.size(), kExchange) == 0;
        std::string bytes;
        {
            std::lock_guard lock(mutex_);
            if (exchange) {
                arrivals_.push_back(at);
            }
            bytes = reply_;
        }
        c.in.erase(0, end + 4);
        ++answered_;
        if (exchange) {
            ++exchanges_;
        }
        reply(c, bytes);
    }
}

void Receiver::reply(Conn& c, const std::string& bytes) {
    if (c.ssl == nullptr) {
        c.out += bytes;
    } else if (SSL_write(c.ssl, bytes.data(), static_cast<int>(bytes.size())) <= 0) {
        ERR_clear_error();
        c.dead = true;
    }
}

void Receiver::flush(Conn& c) {
    if (c.ssl != nullptr) {
        char buf[kChunk];
        for (int n; (n = BIO_read(SSL_get_wbio(c.ssl), buf, sizeof buf)) > 0;) {
            c.out.append(buf, static_cast<std::size_t>(n));
        }
    }
    while (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
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
void Receiver::watch(Conn& c, bool output) {
    if (output == c.watchingOutput) {
        return;
    }
    c.watchingOutput = output;
    epoll_event ev{};
    ev.events = output ? static_cast<std::uint32_t>(EPOLLIN | EPOLLOUT) : EPOLLIN;
    ev.data.fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

}  // namespace vellicor::bench
