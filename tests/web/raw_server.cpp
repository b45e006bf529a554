#include "raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace vellicor::test {
namespace {

int listenLoopback(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

std::size_t contentLength(const std::string& head) {
    for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"}) {
        if (auto at = head.find(name); at != std::string::npos) {
            return std::stoul(head.substr(at + std::strlen(name)));
        }
    }
    return 0;
}

}  // namespace

bool Connection::readMore(std::string& into) {
    char block[4096];
    const long n =
        ssl_ != nullptr ? SSL_read(ssl_, block, sizeof block) : ::recv(fd_, block, sizeof block, 0);
    if (n <= 0) {
        return false;
    }
    into.append(block, static_cast<std::size_t>(n));
    return true;
}

std::string Connection::readRequest() {
    std::string data;
    while (data.find("\r\n\r\n") == std::string::npos) {
        if (!readMore(data)) {
            return {};
        }
    }
    const auto bodyAt = data.find("\r\n\r\n") + 4;
    const auto want = bodyAt + contentLength(data.substr(0, bodyAt));
    while (data.size() < want && readMore(data)) {
    }
    return data;
}

bool Connection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const long n = ssl_ != nullptr
                           ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                           : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void Connection::reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::shutdown(fd_, SHUT_RDWR);
}

RawServer::RawServer(Script script, const std::string& certFile, const std::string& keyFile)
    : script_(std::move(script)) {
    if (!certFile.empty()) {
        tls_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(tls_, certFile.c_str());
        SSL_CTX_use_PrivateKey_file(tls_, keyFile.c_str(), SSL_FILETYPE_PEM);
    }
    listenFd_ = listenLoopback(port_);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

RawServer::~RawServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    ::close(listenFd_);
    for (auto& w : workers_) {
        w.join();
    }
    if (tls_ != nullptr) {
        SSL_CTX_free(tls_);
    }
}

std::string RawServer::url(std::string_view path) const {
    return std::string(tls_ != nullptr ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<std::string> RawServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void RawServer::waitForStop() {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stopping_.load(); });
}

void RawServer::acceptLoop() {
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
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void RawServer::serve(int fd) {
    SSL* ssl = nullptr;
    if (tls_ != nullptr) {
        ssl = SSL_new(tls_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            ::close(fd);
            return;
        }
    }
    Connection conn(fd, ssl);
    const std::string request = conn.readRequest();
    if (!request.empty()) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        script_(conn, request);
    }
    if (ssl != nullptr) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    ::close(fd);
}

std::string httpReply(std::string_view status, std::string_view headers, std::string_view body) {
    return "HTTP/1.1 " + std::string(status) + "\r\n" + std::string(headers) +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           std::string(body);
}

RawServer::Script replyWith(std::string reply) {
    return [reply = std::move(reply)](Connection& c, const std::string&) { c.send(reply); };
}

RawServer::Script echoRequest() {
    return
        [](Connection& c, const std::string& request) { c.send(httpReply("200 OK", "", request)); };
}

RawServer::Script forwardingProxy() {
    return [](Connection& c, const std::string& request) {
        // "GET http://127.0.0.1:PORT/path HTTP/1.1" becomes "GET /path HTTP/1.1".
        const auto hostAt = request.find("http://127.0.0.1:");
        const auto lineEnd = request.find("\r\n");
        if (hostAt == std::string::npos || hostAt > lineEnd) {
            c.send(httpReply("400 Bad Request", "", "not a proxy request"));
            return;
        }
        const auto portAt = hostAt + std::strlen("http://127.0.0.1:");
        const auto pathAt = request.find('/', portAt);
        const int target = connectLoopback(
            static_cast<std::uint16_t>(std::stoi(request.substr(portAt, pathAt - portAt))));
        if (target < 0) {
            c.send(httpReply("502 Bad Gateway", "", "target refused"));
            return;
        }
        Connection upstream(target, nullptr);
        upstream.send(request.substr(0, hostAt) + request.substr(pathAt));
        // A reply is read the way a request is: its head, then Content-Length bytes. That
        // also ends the relay when the target keeps the connection open.
        c.send(upstream.readRequest());
        ::close(target);
    };
}

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    const int fd = listenLoopback(port);
    ::close(fd);
    return port;
}

}  // namespace vellicor::test
