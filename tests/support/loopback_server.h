#pragma once
// What the tests' scripted servers share: a listener on 127.0.0.1 (a free port), plain or
// TLS with the tests' certificate, and a thread per accepted connection running the owner's
// handler. Stopping cuts the open connections, so that a handler waiting on a read returns.

#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vellicor::test {

// A listener on 127.0.0.1 and the port it got; -1 when it failed.
int listenLoopback(std::uint16_t& port);
// The same on another IPv4 address of this namespace (an emulated path's far end).
int listenOn(const std::string& address, std::uint16_t& port);
// A socket connected to that loopback port; -1 when nothing took the connection.
int connectLoopback(std::uint16_t port);
// A loopback port where nothing listens (the system may hand it out again later).
std::uint16_t closedPort();

// Reads what one read brings (SSL_read under TLS); <= 0 when the peer left or failed.
long readSome(int fd, SSL* ssl, char* into, std::size_t size);
// Writes all of the bytes; false when the peer left.
bool sendAll(int fd, SSL* ssl, std::string_view bytes);

class LoopbackServer {
  public:
    // Runs on the connection's own thread; the socket is closed when it returns.
    using Handler = std::function<void(int fd)>;

    // With certificate and key files it speaks TLS. `address`: where it listens, inside the
    // namespace of the thread that makes it.
    LoopbackServer(const std::string& certFile, const std::string& keyFile,
                   const std::string& address = "127.0.0.1");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Starts accepting; the owner calls it once its handler's state is set up.
    void start(Handler handler);
    // Stops accepting, cuts the open connections and joins their threads. The owner calls
    // it before its handler's state goes.
    void stop();

    std::uint16_t port() const { return port_; }
    std::string url(std::string_view path = "/") const;
    SSL_CTX* tls() const { return tls_; }
    // The TLS handshake on an accepted socket: its session, or nullptr when it failed. On
    // a plain server, true with no session.
    bool handshake(int fd, SSL*& ssl) const;
    // Connections whose handler has finished.
    int finished() const;

  private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    SSL_CTX* tls_ = nullptr;
    std::string address_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<int> open_;
    int finished_ = 0;
    bool stopping_ = false;
};

}  // namespace vellicor::test
