#include "web/tls_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

#include "web/proxy_tunnel.h"
#include "web/segment_fit.h"

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

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view withoutTrailingDot(std::string_view name) {
    return !name.empty() && name.back() == '.' ? name.substr(0, name.size() - 1) : name;
}

// A certificate name against the host, as libcurl compares them: letters in any case, one
// trailing dot ignored on either side, and "*." standing for exactly the leftmost label of a
// name that has two more, never for an IP address. "a*.x.y" and "*x.y.z" are plain text.
bool nameMatches(std::string_view pattern, std::string_view host) {
    if (pattern.empty() || host.empty()) {
        return false;
    }
    pattern = withoutTrailingDot(pattern);
    host = withoutTrailingDot(host);
    if (!pattern.starts_with("*.")) {
        return equalNoCase(pattern, host);
    }
    if (isIpLiteral(std::string(host))) {
        return false;
    }
    const std::string_view rest = pattern.substr(1);  // ".x.y"
    if (rest.find('.', 1) == std::string_view::npos) {
        return equalNoCase(pattern, host);
    }
    const std::size_t label = host.find('.');
    return label != std::string_view::npos && equalNoCase(host.substr(label), rest);
}

// A name of the subject as UTF-8; empty when it holds a NUL, which no host name matches.
std::string textOf(const ASN1_STRING* value) {
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        return {};
    }
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text.find('\0') == std::string::npos ? text : std::string();
}

// The subject's most specific common name: the last one.
std::string lastCommonName(X509* cert) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    int index = -1;
    for (int next = 0; subject != nullptr &&
                       (next = X509_NAME_get_index_by_NID(subject, NID_commonName, index)) >= 0;) {
        index = next;
    }
    if (index < 0) {
        return {};
    }
    return textOf(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
}

// libcurl's host check (CURLOPT_SSL_VERIFYHOST 2 over OpenSSL), which differs from
// X509_check_host: once the certificate names any DNS name or IP address, only those count,
// names for a host name and addresses for an address; without them the last common name is
// compared as a name, an address written there included.
bool certificateNames(X509* cert, const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    int addressLength = 0;
    if (inet_pton(AF_INET, host.c_str(), address) == 1) {
        addressLength = 4;
    } else if (inet_pton(AF_INET6, host.c_str(), address) == 1) {
        addressLength = 16;
    }
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    bool listed = false;
    bool matched = false;
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && !matched; ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            listed = true;
            const ASN1_IA5STRING* dns = name->d.dNSName;
            const std::string_view text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                        static_cast<std::size_t>(ASN1_STRING_length(dns)));
            matched = addressLength == 0 && text.find('\0') == std::string_view::npos &&
                      nameMatches(text, host);
        } else if (name->type == GEN_IPADD) {
            listed = true;
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            matched = addressLength != 0 && ASN1_STRING_length(ip) == addressLength &&
                      std::memcmp(ASN1_STRING_get0_data(ip), address,
                                  static_cast<std::size_t>(addressLength)) == 0;
        }
    }
    GENERAL_NAMES_free(names);
    if (matched || listed) {
        return matched;
    }
    return nameMatches(lastCommonName(cert), host);
}

// The chain as OpenSSL checked it, then the name at the peer's own certificate; the host
// rides on the connection (SSL app data).
int checkPeer(int chainOk, X509_STORE_CTX* store) {
    if (chainOk != 1 || X509_STORE_CTX_get_error_depth(store) != 0) {
        return chainOk;
    }
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* host =
        ssl != nullptr ? static_cast<const std::string*>(SSL_get_app_data(ssl)) : nullptr;
    X509* peer = X509_STORE_CTX_get_current_cert(store);
    if (host == nullptr || peer == nullptr || !certificateNames(peer, *host)) {
        X509_STORE_CTX_set_error(store, host != nullptr && isIpLiteral(*host)
                                            ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                            : X509_V_ERR_HOSTNAME_MISMATCH);
        return 0;
    }
    return 1;
}

// What libcurl trusts: a configured file alone (the transfers clear CURLOPT_CAPATH beside
// CURLOPT_CAINFO), else the bundle and folder built into libcurl, which, unlike OpenSSL's
// defaults, SSL_CERT_FILE and SSL_CERT_DIR do not move.
bool loadTrust(SSL_CTX* ctx, const std::string& caFile) {
    if (!caFile.empty()) {
        return SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) == 1;
    }
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    const char* bundle = curl != nullptr ? curl->cainfo : nullptr;
    const char* folder = curl != nullptr ? curl->capath : nullptr;
    if (bundle == nullptr && folder == nullptr) {
        return SSL_CTX_set_default_verify_paths(ctx) == 1;
    }
    return SSL_CTX_load_verify_locations(ctx, bundle, folder) == 1;
}

// One context per CA file, shared by every connection (SSL_CTX is safe to share once set
// up): loading a store per connection would cost more than the handshake.
Result<SSL_CTX*> contextFor(const std::string& caFile) {
    static std::mutex mutex;
    // Kept for the life of the process, and never destroyed: a connection may still be
    // closing while static objects go.
    static auto& contexts = *new std::map<std::string, SSL_CTX*>();
    std::lock_guard lock(mutex);
    if (auto it = contexts.find(caFile); it != contexts.end()) {
        return it->second;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        return makeError(ErrorCode::Internal, "the TLS library could not start");
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, checkPeer);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // As libcurl does: any certificate of the trusted set anchors a chain, so a file holding
    // just the intermediate that issued the mall's certificate is enough.
    X509_STORE_set_flags(SSL_CTX_get_cert_store(ctx),
                         X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_TRUSTED_FIRST);
    if (!loadTrust(ctx, caFile)) {
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
    if (!target.proxy.url.empty()) {
        HttpSettings http;
        http.connectTimeoutMs =
            target.connectTimeoutMs > 0 ? target.connectTimeoutMs : http.connectTimeoutMs;
        auto tunnel = ProxyTunnel::start(target.proxy, target.host, target.port, http);
        if (!tunnel) {
            return tunnel.error();
        }
        s->tunnel_ = std::move(tunnel).value();
        s->advanceTunnel();
        return s;
    }
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
    if (fd_ >= 0 && tunnel_ == nullptr) {
        ::close(fd_);
    }
    fd_ = -1;
    tunnel_.reset();
}

// TLS starts once the proxy says the tunnel is made; until then its socket is the one polled.
void ClientSocket::advanceTunnel() {
    switch (tunnel_->advance()) {
        case ProxyTunnel::State::Opening:
            fd_ = tunnel_->fd();
            return;
        case ProxyTunnel::State::Open:
            fd_ = tunnel_->fd();
            connected();
            return;
        case ProxyTunnel::State::Failed: {
            const Error why = tunnel_->error();  // the tunnel goes with the socket
            failWith(why.code, why.message);
            return;
        }
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
    if (state_ == State::Connecting && tunnel_ != nullptr) {
        advanceTunnel();
    } else if (state_ == State::Connecting) {
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
        packetRoom_ = fitToSegments(fd_, nullptr);
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
    // Only names go out as SNI, lower case and without a trailing dot, as libcurl sends them;
    // the name check itself is checkPeer's.
    std::string sni = std::string(withoutTrailingDot(target_.host));
    for (char& c : sni) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    int checks = ssl != nullptr ? 1 : 0;
    if (checks == 1) {
        SSL_set_app_data(ssl, &target_.host);
    }
    if (checks == 1 && !isIpLiteral(target_.host) && !sni.empty()) {
        checks = static_cast<int>(
            SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, sni.data()));
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
        packetRoom_ = fitToSegments(fd_, ssl);
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
            return tunnel_ != nullptr ? tunnel_->events() : POLLOUT;
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
