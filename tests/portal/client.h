#pragma once
// A plain HTTP client for the simulator tests: Beast over a blocking socket, so that what the
// server sent is seen as it is, without the tool's own page request in between.

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <string>

namespace vellicor::portal::test {

struct Fetched {
    int status = 0;
    std::string body;  // GBK as sent
    std::string text;  // body decoded to UTF-8
    boost::beast::http::fields headers;
    std::string error;  // set when no whole reply came
    std::string header(const std::string& name) const;
    // Every value of a header that may repeat (Set-Cookie), joined by "\n".
    std::string all(const std::string& name) const;
};

// One request on a connection of its own.
Fetched fetch(std::uint16_t port, const std::string& target, const std::string& cookie = {},
              const std::string& method = "GET", const std::string& body = {});

// Requests on one kept-alive connection.
class Connection {
  public:
    explicit Connection(std::uint16_t port);
    Fetched request(const std::string& target, const std::string& cookie = {});

  private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    std::string leftover_;
};

// Sends raw request bytes and reads until the server closes or the read fails; returns what
// came and the way it ended.
struct RawResult {
    std::string bytes;
    boost::system::error_code end;
};
RawResult rawExchange(std::uint16_t port, const std::string& request);

// Logs the demo account in through the login form; returns "uin=...; skey=...".
std::string loginCookie(std::uint16_t port, const std::string& uin = "10001",
                        const std::string& password = "demo-password");

}  // namespace vellicor::portal::test
