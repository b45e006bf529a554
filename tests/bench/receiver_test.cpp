// The firing benchmark's plain receiver over a real loopback connection: what it answers and
// which arrivals it notes.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "bench/precision/receiver.h"

namespace vellicor::bench {
namespace {

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    // A receiver that never answers fails the test instead of holding it.
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Floor bytes are arrivals but get no answer; every request is answered, and only exchange
// requests count as exchanges.
TEST(Receiver, AnswersRequestsAndNotesArrivals) {
    Receiver rx;
    ASSERT_TRUE(rx.ready());
    const int fd = connectTo(rx.port());
    ASSERT_GE(fd, 0);
    const std::string bytes =
        "XX"
        "GET /mall/index.php?op=exchangeing&id=1 HTTP/1.1\r\nHost: m\r\n\r\n"
        "GET /mall/record.php HTTP/1.1\r\nHost: m\r\n\r\n";
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    std::string replies;
    while (count(replies, "HTTP/1.1 200 OK") < 2) {
        char block[4096];
        const ssize_t n = ::recv(fd, block, sizeof block, 0);
        ASSERT_GT(n, 0) << replies;
        replies.append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    EXPECT_EQ(rx.arrivals().size(), 3u);
    EXPECT_EQ(rx.exchanges(), 1);
    EXPECT_EQ(rx.answered(), 2);
    EXPECT_EQ(rx.accepts().size(), 1u);
    rx.clear();
    EXPECT_TRUE(rx.arrivals().empty());
    EXPECT_TRUE(rx.accepts().empty());
}

}  // namespace
}  // namespace vellicor::bench
