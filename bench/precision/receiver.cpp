#include "receiver.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

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

std::string httpDate() {
    char date[64];
    const std::time_t now = std::time(nullptr);
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

struct Receiver::Conn : Connection {
    // Under TLS the socket's bytes go through memory buffers, so that every read from the
    // socket is our own recvmsg and carries its time stamp.
    SSL* ssl = nullptr;
    std::string in;  // request bytes not yet answered (decrypted under TLS)

    ~Conn() override { SSL_free(ssl); }
};

Receiver::Receiver(std::optional<TlsFiles> tls) : reply_(page(Page::SoldOut)) {
    ready_ = (!tls || setUpTls(*tls)) && server_.listening();
    if (ready_) {
        server_.start(*this);
    }
}

Receiver::~Receiver() {
    server_.stop();
    SSL_CTX_free(ctx_);
}

bool Receiver::setUpTls(const TlsFiles& files) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    const bool ok = ctx_ != nullptr &&
                    SSL_CTX_use_certificate_chain_file(ctx_, files.certificate.c_str()) == 1 &&
                    SSL_CTX_use_PrivateKey_file(ctx_, files.key.c_str(), SSL_FILETYPE_PEM) == 1 &&
                    SSL_CTX_check_private_key(ctx_) == 1;
    ERR_clear_error();
    return ok;
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
        conn->ssl = SSL_new(ctx_);
        SSL_set_bio(conn->ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_accept_state(conn->ssl);
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

// Requests end at their blank line (the engine sends no bodies); a floor byte is one 'X'.
void Receiver::consume(Conn& c, std::int64_t at) {
    while (!c.in.empty()) {
        if (c.in.front() == 'X') {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(at);
            c.in.erase(0, 1);
            continue;
        }
        const auto end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) {
            return;
        }
        const bool exchange = c.in.compare(0, kExchange.size(), kExchange) == 0;
        std::string bytes;
        {
            std::lock_guard lock(mutex_);
            if (exchange) {
                arrivals_.push_back(at);
            }
            bytes = reply_;
        }
        c.in.erase(0, end + 4);
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
        char buf[kChunk];
        for (int n; (n = BIO_read(SSL_get_wbio(c.ssl), buf, sizeof buf)) > 0;) {
            c.out.append(buf, static_cast<std::size_t>(n));
        }
    }
    server_.sendOut(c);
}

}  // namespace vellicor::bench
