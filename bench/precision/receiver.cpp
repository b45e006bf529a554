#include "receiver.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <ctime>

#include "platform/codec.h"

namespace vellicor::bench {
namespace {

constexpr std::string_view kExchange = "GET /mall/index.php?op=exchangeing";
constexpr std::size_t kChunk = 16384;

std::string page(Receiver::Page which) {
    return http1Reply(pageBody(which));
}

}  // namespace

std::string pageBody(Receiver::Page which) {
    const std::string text = which == Receiver::Page::SoldOut
                                 ? "<p>该商品今日已被兑换完</p>"
                                 : "<p>很抱歉，该商品还未到点开始兑换，请稍后再来</p>";
    auto encoded = utf8ToGbk("<html><body>" + text + "</body></html>");
    return encoded ? std::move(encoded).value() : std::string();
}

// Not time(): it reads the kernel's coarse clock, whose second changes up to a tick late, and
// a client reading the mall's clock from the Date would aim that much late.
std::string httpDate() {
    char date[64];
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return date;
}

std::string http1Reply(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nDate: " + httpDate() +
           "\r\nContent-Type: text/html; charset=gbk\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body;
}

Http1Item takeHttp1Item(std::string& in) {
    if (in.empty()) {
        return Http1Item::Incomplete;
    }
    if (in.front() == 'X') {
        in.erase(0, 1);
        return Http1Item::FloorByte;
    }
    const auto end = in.find("\r\n\r\n");
    if (end == std::string::npos) {
        return Http1Item::Incomplete;
    }
    const bool exchange = in.compare(0, kExchange.size(), kExchange) == 0;
    in.erase(0, end + 4);
    return exchange ? Http1Item::Exchange : Http1Item::OtherRequest;
}

SSL_CTX* newServerContext(const TlsFiles& files) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    const bool ok = ctx != nullptr &&
                    SSL_CTX_use_certificate_chain_file(ctx, files.certificate.c_str()) == 1 &&
                    SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) == 1 &&
                    SSL_CTX_check_private_key(ctx) == 1;
    ERR_clear_error();
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

SSL* newMemorySession(SSL_CTX* ctx) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl);
    return ssl;
}

void drainTls(SSL* ssl, std::string& out) {
    char buf[kChunk];
    for (int n; (n = BIO_read(SSL_get_wbio(ssl), buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<std::size_t>(n));
    }
}

struct Receiver::Conn : Connection {
    SSL* ssl = nullptr;  // under TLS
    std::string in;      // request bytes not yet answered (decrypted under TLS)

    ~Conn() override { SSL_free(ssl); }
};

Receiver::Receiver(std::optional<TlsFiles> tls) : reply_(page(Page::SoldOut)) {
    if (tls) {
        ctx_ = newServerContext(*tls);
    }
    ready_ = (!tls || ctx_ != nullptr) && server_.listening();
    if (ready_) {
        server_.start(*this);
    }
}

Receiver::~Receiver() {
    server_.stop();
    SSL_CTX_free(ctx_);
}

void Receiver::setPage(Page which) {
    std::lock_guard lock(mutex_);
    reply_ = page(which);
}

void Receiver::clear() {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    server_.clearAccepts();
}

std::vector<std::int64_t> Receiver::arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

std::vector<std::int64_t> Receiver::accepts() const {
    return server_.accepts();
}

std::unique_ptr<Connection> Receiver::open(int) {
    auto conn = std::make_unique<Conn>();
    if (ctx_ != nullptr) {
        conn->ssl = newMemorySession(ctx_);
    }
    return conn;
}

// Each read is handled on its own, with its own time stamp: a request is stamped with the
// read in which its last bytes came.
void Receiver::readable(Connection& conn) {
    auto& c = static_cast<Conn&>(conn);
    while (!c.dead) {
        char buf[kChunk];
        std::int64_t at = 0;
        const auto got = EpollServer::readStamped(c, buf, sizeof buf, at);
        if (got <= 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(got);
        if (c.ssl == nullptr) {
            c.in.append(buf, size);
        } else if (!decrypt(c, buf, size)) {
            c.dead = true;
            return;
        }
        consume(c, at);
    }
    if (!c.dead) {
        flush(c);
    }
}

void Receiver::writable(Connection& conn) {
    flush(static_cast<Conn&>(conn));
}

// The handshake runs inside SSL_read; its own replies wait in the output buffer for flush().
bool Receiver::decrypt(Conn& c, const char* data, std::size_t size) {
    BIO_write(SSL_get_rbio(c.ssl), data, static_cast<int>(size));
    for (;;) {
        char plain[kChunk];
        const int n = SSL_read(c.ssl, plain, sizeof plain);
        if (n > 0) {
            c.in.append(plain, static_cast<std::size_t>(n));
            continue;
        }
        const int err = SSL_get_error(c.ssl, n);
        if (err == SSL_ERROR_WANT_READ) {
            return true;
        }
        ERR_clear_error();
        return false;
    }
}

void Receiver::consume(Conn& c, std::int64_t at) {
    for (Http1Item item; (item = takeHttp1Item(c.in)) != Http1Item::Incomplete;) {
        const bool exchange = item == Http1Item::Exchange;
        std::string bytes;
        {
            std::lock_guard lock(mutex_);
            if (exchange || item == Http1Item::FloorByte) {
                arrivals_.push_back(at);
            }
            if (item == Http1Item::FloorByte) {
                continue;
            }
            bytes = reply_;
        }
        ++answered_;
        if (exchange) {
            ++exchanges_;
        }
        reply(c, bytes);
    }
}

void Receiver::reply(Conn& c, const std::string& bytes) {
    if (c.ssl == nullptr) {
        c.out += bytes;
    } else if (SSL_write(c.ssl, bytes.data(), static_cast<int>(bytes.size())) <= 0) {
        ERR_clear_error();
        c.dead = true;
    }
}

void Receiver::flush(Conn& c) {
    if (c.ssl != nullptr) {
        drainTls(c.ssl, c.out);
    }
    server_.sendOut(c);
}

}  // namespace vellicor::bench
