#include "receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "platform/codec.h"

namespace vellicor::bench {
namespace {

constexpr std::string_view kExchange = "GET /mall/index.php?op=exchangeing";

std::string page(Receiver::Page which) {
    const std::string text = which == Receiver::Page::SoldOut
                                 ? "<p>该商品今日已被兑换完</p>"
                                 : "<p>很抱歉，该商品还未到点开始兑换，请稍后再来</p>";
    auto encoded = utf8ToGbk("<html><body>" + text + "</body></html>");
    const std::string body = encoded ? std::move(encoded).value() : std::string();
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return "HTTP/1.1 200 OK\r\nDate: " + std::string(date) +
           "\r\nContent-Type: text/html; charset=gbk\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body;
}

}  // namespace

struct Receiver::Conn {
    int fd = -1;
    std::string in;
    std::int64_t startedAt = 0;  // receive time of the first byte of `in`
};

Receiver::Receiver() : reply_(page(Page::SoldOut)) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set on the listener too, so that bytes queued before accept() carry their time.
    setsockopt(listen_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 4096);
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
    ev.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    thread_ = std::thread([this] { loop(); });
}

Receiver::~Receiver() {
    stop_ = true;
    const std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    close(listen_);
    close(epoll_);
    close(wake_);
}

void Receiver::setPage(Page which) {
    std::lock_guard lock(mutex_);
    reply_ = page(which);
}

void Receiver::clear() {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
}

std::vector<std::int64_t> Receiver::arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

void Receiver::loop() {
    std::map<int, std::unique_ptr<Conn>> conns;
    epoll_event events[256];
    while (!stop_) {
        const int n = epoll_wait(epoll_, events, 256, 200);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_) {
                continue;
            }
            if (fd == listen_) {
                for (;;) {
                    const int c = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0) {
                        break;
                    }
                    const int one = 1;
                    setsockopt(c, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.fd = c;
                    epoll_ctl(epoll_, EPOLL_CTL_ADD, c, &ev);
                    auto conn = std::make_unique<Conn>();
                    conn->fd = c;
                    conns[c] = std::move(conn);
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end()) {
                continue;
            }
            readFrom(*it->second);
            if (it->second->fd < 0) {
                conns.erase(it);
            }
        }
    }
    for (auto& [fd, conn] : conns) {
        close(fd);
    }
}

void Receiver::readFrom(Conn& c) {
    for (;;) {
        char buf[16384];
        char control[256];
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(c.fd, &msg, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            close(c.fd);
            c.fd = -1;
            return;
        }
        if (got < 0) {
            return;
        }
        std::int64_t at = 0;
        for (cmsghdr* h = CMSG_FIRSTHDR(&msg); h != nullptr; h = CMSG_NXTHDR(&msg, h)) {
            if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(h), sizeof ts);
                at = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        if (at == 0) {
            // No stamp on this read: the time of reading it, a little late but never early.
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            at = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        }
        if (c.in.empty()) {
            c.startedAt = at;
        }
        c.in.append(buf, static_cast<std::size_t>(got));
        consume(c);
    }
}

// Requests end at their blank line (the engine sends no bodies); a floor byte is one 'X'.
void Receiver::consume(Conn& c) {
    while (!c.in.empty()) {
        if (c.in.front() == 'X') {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(c.startedAt);
            c.in.erase(0, 1);
            continue;
        }
        const auto end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) {
            return;
        }
        std::string reply;
        {
            std::lock_guard lock(mutex_);
            if (c.in.compare(0, kExchange.size(), kExchange) == 0) {
                arrivals_.push_back(c.startedAt);
            }
            reply = reply_;
        }
        c.in.erase(0, end + 4);
        ++answered_;
        std::size_t sent = 0;
        while (sent < reply.size()) {
            const ssize_t n = send(c.fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
}

}  // namespace vellicor::bench
