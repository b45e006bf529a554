#pragma once
// One client connection: reads requests (keep-alive, pipelined), asks the handler for the
// answer, and writes it — or misbehaves in the way the scenario asks for that endpoint.

#include <boost/beast/core/string.hpp>
#include <boost/beast/http.hpp>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "portal/pages.h"
#include "portal/transport.h"

namespace vellicor::portal {

namespace http = boost::beast::http;
using HttpRequest = http::request<http::string_body>;

struct Planned {
    SimReply reply;
    std::string date;  // the Date header: the portal's clock when it took the request
    Fault fault;       // only the modes that act on the connection reach it
    double delayMs = 0;
    bool headOnly = false;
};

// When a request came: its first bytes, the bytes that completed it, and the connection's
// opening, all on the real-time clock.
struct Arrival {
    std::int64_t firstNanos = 0;
    std::int64_t lastNanos = 0;
    std::int64_t connectedNanos = 0;
};

class RequestHandler {
  public:
    virtual ~RequestHandler() = default;
    // The way this request and its reply travel; zero for requests the path does not touch.
    virtual PathDelay path(const HttpRequest& request) = 0;
    // Called from any io thread at once, once the request has come the whole way: `arrival`
    // already counts the path.
    virtual Planned plan(const HttpRequest& request, const Arrival& arrival,
                         std::uint64_t connection, bool secure) = 0;
    virtual std::string dateHeader() const = 0;
    virtual std::chrono::milliseconds idleTimeout() const = 0;
};

// Status line and headers of a reply, with the Date given.
std::string replyHead(const SimReply& reply, const std::string& date, const std::string& length,
                      bool keepAlive);

template <typename Transport>
class Connection : public std::enable_shared_from_this<Connection<Transport>> {
  public:
    template <typename... Args>
    Connection(RequestHandler& handler, std::uint64_t id, Args&&... args)
        : handler_(handler),
          id_(id),
          connectedNanos_(realtimeNanos()),
          transport_(std::forward<Args>(args)...),
          idle_(transport_.socket().get_executor()),
          delay_(transport_.socket().get_executor()) {}

    void start() {
        auto self = this->shared_from_this();
        transport_.handshake([self](ErrorCodeType ec) {
            if (ec) {
                self->transport_.close();
                return;
            }
            self->nextRequest();
        });
    }

  private:
    static constexpr std::size_t kFillerChunk = 64 * 1024;

    void nextRequest() {
        parser_.emplace();
        parser_->header_limit(64 * 1024);
        parser_->body_limit(4 * 1024 * 1024);
        parser_->eager(true);
        startNanos_ = inbuf_.empty() ? 0 : lastNanos_;
        continued_ = false;
        parse();
    }

    void parse() {
        while (!inbuf_.empty()) {
            ErrorCodeType ec;
            const std::size_t used = parser_->put(asio::buffer(inbuf_), ec);
            inbuf_.erase(0, used);
            if (ec == http::error::need_more) {
                break;
            }
            if (ec) {
                refuseMalformed(ec);
                return;
            }
            if (parser_->is_done()) {
                respond();
                return;
            }
            if (shouldContinue()) {
                continued_ = true;
                out_ = "HTTP/1.1 100 Continue\r\n\r\n";
                writeThen([](Connection& c) { c.parse(); });
                return;
            }
            if (used == 0) {
                break;
            }
        }
        read();
    }

    // A client that asks first gets its go-ahead instead of a wait for its own time-out.
    bool shouldContinue() const {
        if (continued_ || !parser_->is_header_done()) {
            return false;
        }
        const auto expect = parser_->get()[http::field::expect];
        return boost::beast::iequals(expect, "100-continue");
    }

    void read() {
        auto self = this->shared_from_this();
        idle_.expires_after(handler_.idleTimeout());
        idle_.async_wait([self](ErrorCodeType ec) {
            if (!ec) {
                self->transport_.close();
            }
        });
        transport_.readSome(inbuf_, [self](ErrorCodeType ec, std::size_t, std::int64_t at) {
            self->idle_.cancel();
            if (ec) {
                self->transport_.close();
                return;
            }
            self->lastNanos_ = at;
            if (self->startNanos_ == 0) {
                self->startNanos_ = at;
            }
            self->parse();
        });
    }

    void refuseMalformed(ErrorCodeType ec) {
        SimReply r;
        r.status = ec == http::error::body_limit ? 413 : 400;
        r.contentType = "text/plain";
        r.body = "bad request";
        out_ = replyHead(r, handler_.dateHeader(), std::to_string(r.body.size()), false) + r.body;
        writeThen([](Connection& c) { c.transport_.close(); });
    }

    void respond() {
        auto request = std::make_shared<HttpRequest>(parser_->release());
        keepAlive_ = request->keep_alive();
        const std::int64_t first = startNanos_ != 0 ? startNanos_ : realtimeNanos();
        const std::int64_t last = lastNanos_ != 0 ? lastNanos_ : first;
        const PathDelay path = handler_.path(*request);
        const std::int64_t up = path.up.count();
        const Arrival arrival{first + up, last + up, connectedNanos_ + up};
        at(arrival.lastNanos, [request, arrival, down = path.down](Connection& c) {
            c.handle(*request, arrival, down);
        });
    }

    void handle(const HttpRequest& request, const Arrival& arrival, std::chrono::nanoseconds down) {
        Planned planned = handler_.plan(request, arrival, id_, Transport::kSecure);
        const std::int64_t replyAt = arrival.lastNanos + down.count() +
                                     static_cast<std::int64_t>(std::llround(planned.delayMs * 1e6));
        auto shared = std::make_shared<Planned>(std::move(planned));
        at(replyAt, [shared](Connection& c) { c.send(std::move(*shared)); });
    }

    // `next` once the real-time clock reaches `nanos`, on a timer, so that no io thread waits.
    template <typename Next>
    void at(std::int64_t nanos, Next next) {
        const std::int64_t wait = nanos - realtimeNanos();
        if (wait <= 0) {
            next(*this);
            return;
        }
        auto self = this->shared_from_this();
        delay_.expires_after(std::chrono::nanoseconds(wait));
        delay_.async_wait([self, next](ErrorCodeType ec) {
            if (!ec) {
                next(*self);
            }
        });
    }

    void send(Planned p) {
        if (hung_) {
            nextRequest();
            return;
        }
        switch (p.fault.mode) {
            case FaultMode::Refuse:
                transport_.reset();
                return;
            case FaultMode::Hang:
                hung_ = true;
                nextRequest();
                return;
            case FaultMode::Close:
                keepAlive_ = false;
                break;
            case FaultMode::GarbageStatus:
                out_ = "HTXP/0.9 banana \x01\x02\r\nX: y\r\n\r\n";
                writeThen([](Connection& c) { c.transport_.close(); });
                return;
            case FaultMode::ResetMidBody:
                sendHalf(p, false);
                return;
            case FaultMode::TruncatedChunked:
                sendHalf(p, true);
                return;
            case FaultMode::HugeBody:
                sendHuge(p);
                return;
            case FaultMode::Slow:
                sendSlow(p);
                return;
            default:
                break;
        }
        out_ = replyHead(p.reply, p.date, std::to_string(p.reply.body.size()), keepAlive_);
        if (!p.headOnly) {
            out_ += p.reply.body;
        }
        writeThen([](Connection& c) { c.afterReply(); });
    }

    void afterReply() {
        if (keepAlive_) {
            nextRequest();
        } else {
            transport_.close();
        }
    }

    void sendHalf(const Planned& p, bool chunked) {
        const std::string& body = p.reply.body;
        const std::string half = body.substr(0, body.size() / 2);
        if (chunked) {
            SimReply r = p.reply;
            r.headers.emplace_back("Transfer-Encoding", "chunked");
            out_ = replyHead(r, p.date, {}, true);
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", half.size());
            out_ += size + half + "\r\n";
            writeThen([](Connection& c) { c.transport_.close(); });
            return;
        }
        out_ = replyHead(p.reply, p.date, std::to_string(body.size()), true) + half;
        writeThen([](Connection& c) { c.transport_.reset(); });
    }

    void sendHuge(const Planned& p) {
        hugeLeft_ = static_cast<std::size_t>(p.fault.bytes);
        out_ = replyHead(p.reply, p.date, std::to_string(hugeLeft_), keepAlive_);
        writeThen([](Connection& c) { c.writeFiller(); });
    }

    void writeFiller() {
        if (hugeLeft_ == 0) {
            afterReply();
            return;
        }
        const std::size_t n = std::min(hugeLeft_, kFillerChunk);
        hugeLeft_ -= n;
        out_.assign(n, 'x');
        writeThen([](Connection& c) { c.writeFiller(); });
    }

    void sendSlow(const Planned& p) {
        slow_ = replyHead(p.reply, p.date, std::to_string(p.reply.body.size()), keepAlive_) +
                p.reply.body;
        slowAt_ = 0;
        slowPause_ = std::chrono::nanoseconds(static_cast<long long>(p.fault.delayMs * 1e6));
        writeSlowByte();
    }

    void writeSlowByte() {
        if (slowAt_ >= slow_.size()) {
            afterReply();
            return;
        }
        out_.assign(1, slow_[slowAt_++]);
        writeThen([](Connection& c) {
            auto self = c.shared_from_this();
            c.delay_.expires_after(c.slowPause_);
            c.delay_.async_wait([self](ErrorCodeType ec) {
                if (!ec) {
                    self->writeSlowByte();
                }
            });
        });
    }

    template <typename Next>
    void writeThen(Next next) {
        auto self = this->shared_from_this();
        transport_.write(asio::buffer(out_), [self, next](ErrorCodeType ec, std::size_t) {
            if (ec) {
                self->transport_.close();
                return;
            }
            next(*self);
        });
    }

    RequestHandler& handler_;
    std::uint64_t id_;
    std::int64_t connectedNanos_ = 0;
    Transport transport_;
    asio::steady_timer idle_;
    asio::steady_timer delay_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string inbuf_;
    std::string out_;
    std::string slow_;
    std::size_t slowAt_ = 0;
    std::chrono::nanoseconds slowPause_{0};
    std::size_t hugeLeft_ = 0;
    std::int64_t startNanos_ = 0;
    std::int64_t lastNanos_ = 0;
    bool keepAlive_ = true;
    bool hung_ = false;
    bool continued_ = false;
};

}  // namespace vellicor::portal
