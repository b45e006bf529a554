#include "raw_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace vellicor::test {
namespace {

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
    const long n = readSome(fd_, ssl_, block, sizeof block);
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
    return sendAll(fd_, ssl_, bytes);
}

void Connection::reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::shutdown(fd_, SHUT_RDWR);
}

RawServer::RawServer(Script script, const std::string& certFile, const std::string& keyFile)
    : script_(std::move(script)), server_(certFile, keyFile) {
    server_.start([this](int fd) { serve(fd); });
}

RawServer::~RawServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    server_.stop();
}

std::vector<std::string> RawServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void RawServer::waitForStop() {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stopping_.load(); });
}

void RawServer::serve(int fd) {
    SSL* ssl = nullptr;
    if (!server_.handshake(fd, ssl)) {
        return;
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

}  // namespace vellicor::test
