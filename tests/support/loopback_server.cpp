#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace vellicor::test {

int listenLoopback(std::uint16_t& port) {
    return listenOn("127.0.0.1", port);
}

int listenOn(const std::string& address, std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd, 64) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len)) {
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    const int fd = listenLoopback(port);
    ::close(fd);
    return port;
}

long readSome(int fd, SSL* ssl, char* into, std::size_t size) {
    return ssl != nullptr ? SSL_read(ssl, into, static_cast<int>(size)) : ::recv(fd, into, size, 0);
}

bool sendAll(int fd, SSL* ssl, std::string_view bytes) {
    while (!bytes.empty()) {
        const long n = ssl != nullptr ? SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()))
                                      : ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

LoopbackServer::LoopbackServer(const std::string& certFile, const std::string& keyFile,
                               const std::string& address)
    : address_(address) {
    if (!certFile.empty()) {
        tls_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(tls_, certFile.c_str());
        SSL_CTX_use_PrivateKey_file(tls_, keyFile.c_str(), SSL_FILETYPE_PEM);
    }
    listenFd_ = listenOn(address_, port_);
}

LoopbackServer::~LoopbackServer() {
    stop();
    ::close(listenFd_);
    if (tls_ != nullptr) {
        SSL_CTX_free(tls_);
    }
}

void LoopbackServer::start(Handler handler) {
    handler_ = std::move(handler);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

void LoopbackServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : open_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    ::shutdown(listenFd_, SHUT_RDWR);
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    for (auto& w : workers_) {
        w.join();
    }
    workers_.clear();
}

std::string LoopbackServer::url(std::string_view path) const {
    return std::string(tls_ != nullptr ? "https" : "http") + "://" + address_ + ":" +
           std::to_string(port_) + std::string(path);
}

bool LoopbackServer::handshake(int fd, SSL*& ssl) const {
    ssl = nullptr;
    if (tls_ == nullptr) {
        return true;
    }
    ssl = SSL_new(tls_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        return true;
    }
    SSL_free(ssl);
    ssl = nullptr;
    return false;
}

int LoopbackServer::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void LoopbackServer::acceptLoop() {
    while (true) {
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        open_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void LoopbackServer::serve(int fd) {
    handler_(fd);
    std::lock_guard lock(mutex_);
    std::erase(open_, fd);
    ::close(fd);
    ++finished_;
}

}  // namespace vellicor::test
