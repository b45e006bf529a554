#pragma once
// The two ways a connection carries bytes: plain TCP, read with recvmsg so that every read
// brings the kernel's arrival time, and TLS over TCP.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace vellicor::portal {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCodeType = boost::system::error_code;

inline std::int64_t realtimeNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline void tuneSocket(tcp::socket& s) {
    ErrorCodeType ignored;
    s.set_option(tcp::no_delay(true), ignored);
    const int on = 1;
    ::setsockopt(s.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

// Closes with a reset instead of an orderly end: the peer sees ECONNRESET.
inline void resetSocket(tcp::socket& s) {
    ErrorCodeType ignored;
    s.set_option(asio::socket_base::linger(true, 0), ignored);
    s.close(ignored);
}

class PlainTransport {
  public:
    static constexpr bool kSecure = false;
    explicit PlainTransport(tcp::socket socket) : socket_(std::move(socket)) {
        tuneSocket(socket_);
    }

    tcp::socket& socket() { return socket_; }

    template <typename Handler>
    void handshake(Handler&& h) {
        h(ErrorCodeType{});
    }

    // Appends what arrived to `into`; the handler gets (error, bytes, arrival in ns).
    template <typename Handler>
    void readSome(std::string& into, Handler h) {
        socket_.async_wait(tcp::socket::wait_read,
                           [this, &into, h = std::move(h)](ErrorCodeType ec) mutable {
                               if (ec) {
                                   h(ec, 0, 0);
                                   return;
                               }
                               receive(into, std::move(h));
                           });
    }

    template <typename Buffers, typename Handler>
    void write(const Buffers& buffers, Handler&& h) {
        asio::async_write(socket_, buffers, std::forward<Handler>(h));
    }

    void close() {
        ErrorCodeType ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        socket_.close(ignored);
    }
    void reset() { resetSocket(socket_); }

  private:
    template <typename Handler>
    void receive(std::string& into, Handler h) {
        char data[16384];
        iovec iov{data, sizeof data};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket_.native_handle(), &msg, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            readSome(into, std::move(h));
            return;
        }
        if (n < 0) {
            h(ErrorCodeType(errno, boost::system::system_category()), 0, 0);
            return;
        }
        if (n == 0) {
            h(asio::error::eof, 0, 0);
            return;
        }
        into.append(data, static_cast<std::size_t>(n));
        h(ErrorCodeType{}, static_cast<std::size_t>(n), arrival(msg));
    }

    static std::int64_t arrival(msghdr& msg) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        return realtimeNanos();
    }

    tcp::socket socket_;
};

class TlsTransport {
  public:
    static constexpr bool kSecure = true;
    TlsTransport(tcp::socket socket, asio::ssl::context& context)
        : stream_(std::move(socket), context) {
        tuneSocket(stream_.next_layer());
    }

    tcp::socket& socket() { return stream_.next_layer(); }

    template <typename Handler>
    void handshake(Handler&& h) {
        stream_.async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(h));
    }

    // TLS records hide the kernel's view, so the arrival is the moment the bytes came out.
    template <typename Handler>
    void readSome(std::string& into, Handler h) {
        stream_.async_read_some(
            asio::buffer(buffer_),
            [this, &into, h = std::move(h)](ErrorCodeType ec, std::size_t n) mutable {
                if (!ec) {
                    into.append(buffer_, n);
                }
                h(ec, n, realtimeNanos());
            });
    }

    template <typename Buffers, typename Handler>
    void write(const Buffers& buffers, Handler&& h) {
        asio::async_write(stream_, buffers, std::forward<Handler>(h));
    }

    void close() {
        ErrorCodeType ignored;
        stream_.next_layer().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.next_layer().close(ignored);
    }
    void reset() { resetSocket(stream_.next_layer()); }

  private:
    asio::ssl::stream<tcp::socket> stream_;
    char buffer_[16384];
};

}  // namespace vellicor::portal
