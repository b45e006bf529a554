#include "epoll_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vellicor::bench {

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

int listenOn(const std::string& address, int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set on the listener too, so that bytes queued before accept() carry their time.
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (fd < 0 || inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4096) != 0) {
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

Connection::~Connection() {
    if (fd >= 0) {
        close(fd);
    }
}

EpollServer::EpollServer(const Listening& where) : stampReads_(where.stampReads) {
    listen_ = listenOn(where.address, port_);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
    ev.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
}

EpollServer::~EpollServer() {
    stop();
    close(listen_);
    close(epoll_);
    close(wake_);
}

void EpollServer::start(ConnectionHandler& handler) {
    thread_ = std::thread([this, &handler] { loop(handler); });
}

void EpollServer::stop() {
    stop_ = true;
    const std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    if (thread_.joinable()) {
        thread_.join();
    }
    conns_.clear();
}

void EpollServer::clearAccepts() {
    std::lock_guard lock(mutex_);
    accepts_.clear();
}

std::vector<std::int64_t> EpollServer::accepts() const {
    std::lock_guard lock(mutex_);
    return accepts_;
}

// Reads first: between two connections' work the loop reads whatever came meanwhile.
void EpollServer::loop(ConnectionHandler& handler) {
    epoll_event events[256];
    while (!stop_) {
        const int n = epoll_wait(epoll_, events, 256, waiting_.empty() ? 200 : 0);
        for (int i = 0; i < n; ++i) {
            handle(handler, events[i]);
        }
        if (!waiting_.empty()) {
            workOnNext(handler);
        }
    }
    waiting_.clear();
    conns_.clear();
}

void EpollServer::handle(ConnectionHandler& handler, const epoll_event& event) {
    const int fd = event.data.fd;
    if (fd == listen_) {
        accept(handler);
    }
    auto it = conns_.find(fd);
    if (it == conns_.end()) {
        return;
    }
    Connection& c = *it->second;
    if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        handler.readable(c);
    }
    if (!c.dead && (event.events & EPOLLOUT) != 0) {
        handler.writable(c);
    }
    if (handler.hasWork(c) && !c.waiting) {
        c.waiting = true;
        waiting_.push_back(fd);
    }
    dropIfDone(handler, fd);
}

void EpollServer::workOnNext(ConnectionHandler& handler) {
    const int fd = waiting_.front();
    waiting_.pop_front();
    auto it = conns_.find(fd);
    if (it == conns_.end()) {
        return;
    }
    it->second->waiting = false;
    handler.work(*it->second);
    dropIfDone(handler, fd);
}

// A dead connection goes once nothing it read waits for work.
void EpollServer::dropIfDone(ConnectionHandler& handler, int fd) {
    auto it = conns_.find(fd);
    if (it != conns_.end() && it->second->dead && !handler.hasWork(*it->second)) {
        conns_.erase(it);  // never waiting: it waits only while it has work
    }
}

void EpollServer::accept(ConnectionHandler& handler) {
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
        auto conn = handler.open(fd);
        conn->fd = fd;
        conn->stampReads = stampReads_;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        conns_[fd] = std::move(conn);
    }
}

std::ptrdiff_t EpollServer::readStamped(Connection& c, char* buf, std::size_t size,
                                        std::int64_t& at) {
    for (;;) {
        alignas(cmsghdr) char control[256];
        iovec iov{buf, size};
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
            return 0;
        }
        if (got <= 0) {
            c.dead = true;
            return -1;
        }
        at = c.stampReads ? wallNowNs() : stampOf(msg);
        return got;
    }
}

void EpollServer::sendOut(Connection& c) {
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

void EpollServer::watch(Connection& c, bool output) {
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
