#include "web/tls_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

namespace vellicor::web {
namespace {

std::string bare(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

bool isIpLiteral(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Every address `name` stands for; numeric names are never looked up.
std::vector<std::vector<unsigned char>> resolve(const std::string& name, int port, bool numeric) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numeric ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    std::vector<std::vector<unsigned char>> out;
    if (getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return out;
    }
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
        out.emplace_back(bytes, bytes + a->ai_addrlen);
    }
    freeaddrinfo(found);
    return out;
}

std::string alpnWire(const std::vector<std::string>& protocols) {
    std::string wire;
    for (const auto& p : protocols) {
        wire += static_cast<char>(p.size());
        wire += p;
    }
    return wire;
}

std::string openSslReason() {
    const unsigned long code = ERR_get_error();
    if (code == 0) {
        return {};
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The socket under TLS, written with MSG_NOSIGNAL: OpenSSL's own socket BIO writes with
// write(), and a mall that closes while a wave goes out would end the process by SIGPIPE.
int socketOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int bioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const long n = ::send(socketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    const long n = ::recv(socketOf(bio), data, static_cast<std::size_t>(size), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(n);
}

long bioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

const BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "mall socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioControl);
            BIO_meth_set_create(m, [](BIO* b) {
                BIO_set_init(b, 1);
                return 1;
            });
        }
        return m;
    }();
    return method;
}

bool attach(SSL* ssl, int fd) {
    const BIO_METHOD* method = socketMethod();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    return true;
}

// One context per CA file, shared by every connection (SSL_CTX is safe to share once set
// up): loading a store per connection would cost more than the handshake.
Result<SSL_CTX*> contextFor(const std::string& caFile) {
    static std::mutex mutex;
    static std::map<std::string, SSL_CTX*> contexts;
    std::lock_guard lock(mutex);
    if (auto it = contexts.find(caFile); it != contexts.end()) {
        return it->second;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        return makeError(ErrorCode::Internal, "the TLS library could not start");
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // As CURLOPT_CAINFO does, a named file replaces the system's store.
    const int loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                      : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
    if (loaded != 1) {
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return makeError(ErrorCode::Tls,
                         "secure connection failed: cannot read the certificate "
                         "authority file \"" +
                             caFile + "\"");
    }
    contexts.emplace(caFile, ctx);
    return ctx;
}

}  // namespace

struct ClientSocket::Tls {
    SSL* ssl = nullptr;
    ~Tls() {
        if (ssl != nullptr) {
            SSL_free(ssl);
        }
    }
};

Result<std::unique_ptr<ClientSocket>> ClientSocket::open(const SocketTarget& target) {
    std::unique_ptr<ClientSocket> s(new ClientSocket());
    s->target_ = target;
    s->target_.host = bare(target.host);
    s->where_ = target.host + ":" + std::to_string(target.port);
    if (target.numeric.empty()) {
        s->addresses_ = resolve(s->target_.host, target.port, false);
    }
    for (const auto& n : target.numeric) {
        for (auto& a : resolve(bare(n), target.port, true)) {
            s->addresses_.push_back(std::move(a));
        }
    }
    if (s->addresses_.empty()) {
        return makeError(ErrorCode::Connect,
                         "could not connect (" + s->where_ + "): no address for the host");
    }
    s->connectNext();
    return s;
}

ClientSocket::~ClientSocket() {
    close();
}

void ClientSocket::close() {
    tls_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void ClientSocket::failWith(ErrorCode code, const std::string& why) {
    close();
    state_ = State::Failed;
    error_ = makeError(code, why);
}

// Starts a connect to the next address; one that fails at once gives way to the one after.
void ClientSocket::connectNext() {
    while (next_ < addresses_.size()) {
        const auto& a = addresses_[next_++];
        const auto* addr = reinterpret_cast<const sockaddr*>(a.data());
        fd_ = ::socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            lastConnectError_ = std::strerror(errno);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd_, addr, static_cast<socklen_t>(a.size())) == 0 || errno == EINPROGRESS) {
            state_ = State::Connecting;
            return;
        }
        lastConnectError_ = std::strerror(errno);
        close();
    }
    failWith(ErrorCode::Connect, "could not connect (" + where_ + "): " + lastConnectError_);
}

void ClientSocket::advance() {
    if (state_ == State::Connecting) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) <= 0) {
            return;
        }
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) {
            lastConnectError_ = std::strerror(error);
            close();
            connectNext();
            return;
        }
        connected();
    }
    if (state_ == State::Handshaking) {
        handshake();
    }
}

void ClientSocket::connected() {
    if (!target_.tls) {
        state_ = State::Open;
        return;
    }
    auto ctx = contextFor(target_.caFile);
    if (!ctx) {
        failWith(ErrorCode::Tls, ctx.error().message + " (" + where_ + ")");
        return;
    }
    tls_ = std::make_unique<Tls>();
    tls_->ssl = SSL_new(*ctx);
    SSL* ssl = tls_->ssl;
    const std::string alpn = alpnWire(target_.alpn);
    X509_VERIFY_PARAM* param = ssl != nullptr ? SSL_get0_param(ssl) : nullptr;
    if (param != nullptr) {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    const bool ip = isIpLiteral(target_.host);
    // Names are checked against the certificate's names, literal addresses against its IP
    // addresses; only names go out as SNI, as libcurl does.
    int checks = ssl != nullptr ? 1 : 0;
    if (checks == 1 && ip) {
        checks = X509_VERIFY_PARAM_set1_ip_asc(param, target_.host.c_str());
    } else if (checks == 1) {
        checks = X509_VERIFY_PARAM_set1_host(param, target_.host.c_str(), 0) == 1 &&
                         SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                  const_cast<char*>(target_.host.c_str())) == 1
                     ? 1
                     : 0;
    }
    if (checks != 1 || !attach(ssl, fd_) ||
        SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char*>(alpn.data()),
                            static_cast<unsigned>(alpn.size())) != 0) {
        failWith(ErrorCode::Tls, "secure connection failed (" + where_ + "): " + openSslReason());
        return;
    }
    state_ = State::Handshaking;
}

void ClientSocket::handshake() {
    SSL* ssl = tls_->ssl;
    ERR_clear_error();
    const int rc = SSL_connect(ssl);
    if (rc == 1) {
        const unsigned char* proto = nullptr;
        unsigned length = 0;
        SSL_get0_alpn_selected(ssl, &proto, &length);
        alpn_.assign(reinterpret_cast<const char*>(proto), proto == nullptr ? 0 : length);
        wantWrite_ = false;
        state_ = State::Open;
        return;
    }
    const int error = SSL_get_error(ssl, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        wantWrite_ = error == SSL_ERROR_WANT_WRITE;
        return;
    }
    std::string detail;
    if (const long verify = SSL_get_verify_result(ssl); verify != X509_V_OK) {
        detail = std::string("certificate problem: ") + X509_verify_cert_error_string(verify);
    } else if (detail = openSslReason(); detail.empty()) {
        detail = error == SSL_ERROR_SYSCALL && errno != 0
                     ? std::strerror(errno)
                     : "connection closed during the TLS handshake";
    }
    failWith(ErrorCode::Tls, "secure connection failed (" + where_ + "): " + detail);
}

short ClientSocket::events(bool haveOutput) const {
    switch (state_) {
        case State::Connecting:
            return POLLOUT;
        case State::Handshaking:
            return wantWrite_ ? POLLOUT : POLLIN;
        case State::Open:
            return static_cast<short>(POLLIN | (haveOutput || wantWrite_ ? POLLOUT : 0));
        case State::Failed:
            break;
    }
    return 0;
}

ClientSocket::Io ClientSocket::read(std::string& into) {
    char block[16384];
    if (tls_ == nullptr) {
        const long n = ::recv(fd_, block, sizeof block, 0);
        lastErrno_ = n < 0 ? errno : 0;
        if (n > 0) {
            into.append(block, static_cast<std::size_t>(n));
            return Io::Done;
        }
        return n == 0                                          ? Io::Closed
               : (lastErrno_ == EAGAIN || lastErrno_ == EINTR) ? Io::Again
                                                               : Io::Broken;
    }
    ERR_clear_error();
    const int n = SSL_read(tls_->ssl, block, sizeof block);
    if (n > 0) {
        wantWrite_ = false;
        into.append(block, static_cast<std::size_t>(n));
        return Io::Done;
    }
    lastErrno_ = errno;
    switch (SSL_get_error(tls_->ssl, n)) {
        case SSL_ERROR_WANT_READ:
            return Io::Again;
        case SSL_ERROR_WANT_WRITE:
            wantWrite_ = true;
            return Io::Again;
        case SSL_ERROR_ZERO_RETURN:
            return Io::Closed;
        default:
            return Io::Broken;
    }
}

ClientSocket::Io ClientSocket::write(std::string_view bytes, std::size_t& taken) {
    taken = 0;
    if (bytes.empty()) {
        return Io::Done;
    }
    if (tls_ == nullptr) {
        const long n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        lastErrno_ = n < 0 ? errno : 0;
        if (n >= 0) {
            taken = static_cast<std::size_t>(n);
            return Io::Done;
        }
        return lastErrno_ == EAGAIN || lastErrno_ == EINTR ? Io::Again : Io::Broken;
    }
    ERR_clear_error();
    const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int n = SSL_write(tls_->ssl, bytes.data(), size);
    if (n > 0) {
        taken = static_cast<std::size_t>(n);
        return Io::Done;
    }
    lastErrno_ = errno;
    const int error = SSL_get_error(tls_->ssl, n);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        return Io::Again;
    }
    return Io::Broken;
}

std::string ClientSocket::lastFailure() const {
    return lastErrno_ != 0 ? std::strerror(lastErrno_) : "connection reset";
}

}  // namespace vellicor::web
