#include "client.h"

#include <boost/beast/core.hpp>

#include "platform/codec.h"

namespace vellicor::portal::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

tcp::endpoint loopback(std::uint16_t port) {
    return {asio::ip::make_address_v4("127.0.0.1"), port};
}

http::request<http::string_body> makeRequest(std::uint16_t port, const std::string& target,
                                             const std::string& cookie, const std::string& method,
                                             const std::string& body) {
    http::request<http::string_body> req(http::string_to_verb(method), target, 11);
    req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    if (!cookie.empty()) {
        req.set(http::field::cookie, cookie);
    }
    if (!body.empty()) {
        req.set(http::field::content_type, "application/x-www-form-urlencoded");
        req.body() = body;
    }
    req.prepare_payload();
    return req;
}

Fetched readReply(tcp::socket& socket, beast::flat_buffer& buffer) {
    Fetched out;
    http::response_parser<http::string_body> parser;
    parser.body_limit(256 * 1024 * 1024);
    beast::error_code ec;
    http::read(socket, buffer, parser, ec);
    if (ec) {
        out.error = ec.message();
        return out;
    }
    auto res = parser.release();
    out.status = static_cast<int>(res.result_int());
    out.body = res.body();
    out.text = gbkToUtf8(out.body);
    out.headers = res.base();
    return out;
}

}  // namespace

std::string Fetched::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string{} : std::string(it->value());
}

std::string Fetched::all(const std::string& name) const {
    std::string out;
    for (auto [it, end] = headers.equal_range(name); it != end; ++it) {
        out += std::string(it->value()) + "\n";
    }
    return out;
}

Fetched fetch(std::uint16_t port, const std::string& target, const std::string& cookie,
              const std::string& method, const std::string& body) {
    asio::io_context io;
    tcp::socket socket(io);
    beast::error_code ec;
    socket.connect(loopback(port), ec);
    if (ec) {
        Fetched f;
        f.error = ec.message();
        return f;
    }
    http::write(socket, makeRequest(port, target, cookie, method, body), ec);
    beast::flat_buffer buffer;
    return readReply(socket, buffer);
}

Connection::Connection(std::uint16_t port) : socket_(io_) {
    socket_.connect(loopback(port));
}

Fetched Connection::request(const std::string& target, const std::string& cookie) {
    const auto port = socket_.remote_endpoint().port();
    http::write(socket_, makeRequest(port, target, cookie, "GET", {}));
    beast::flat_buffer buffer;
    return readReply(socket_, buffer);
}

RawResult rawExchange(std::uint16_t port, const std::string& request) {
    asio::io_context io;
    tcp::socket socket(io);
    RawResult out;
    socket.connect(loopback(port), out.end);
    if (out.end) {
        return out;
    }
    asio::write(socket, asio::buffer(request), out.end);
    char chunk[65536];
    while (!out.end) {
        const std::size_t n = socket.read_some(asio::buffer(chunk), out.end);
        out.bytes.append(chunk, n);
    }
    return out;
}

std::string loginCookie(std::uint16_t port, const std::string& uin, const std::string& password) {
    const Fetched f = fetch(port, "/cgi-bin/login_submit", {}, "POST",
                            "u=" + uin + "&p=" + password + "&s_url=%2Fmall%2Frecord.php");
    std::string cookie;
    for (auto [it, end] = f.headers.equal_range(http::field::set_cookie); it != end; ++it) {
        const std::string line(it->value());
        cookie += (cookie.empty() ? "" : "; ") + line.substr(0, line.find(';'));
    }
    return cookie;
}

}  // namespace vellicor::portal::test
