#include "h2_peer.h"

#include <nghttp2/nghttp2.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "nginx_front.h"

namespace vellicor::test {
namespace h2 {
namespace {

void put32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((v >> shift) & 0xff);
    }
}

// An HPACK integer with an n-bit prefix, the prefix's high bits given in `first`.
void putInteger(std::string& out, std::uint8_t first, int prefixBits, std::size_t v) {
    const std::size_t max = (1u << prefixBits) - 1;
    if (v < max) {
        out += static_cast<char>(first | v);
        return;
    }
    out += static_cast<char>(first | max);
    v -= max;
    while (v >= 128) {
        out += static_cast<char>((v & 0x7f) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
}

}  // namespace

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  std::string_view payload) {
    std::string out;
    const auto n = static_cast<std::uint32_t>(payload.size());
    out += static_cast<char>((n >> 16) & 0xff);
    out += static_cast<char>((n >> 8) & 0xff);
    out += static_cast<char>(n & 0xff);
    out += static_cast<char>(type);
    out += static_cast<char>(flags);
    put32(out, stream & 0x7fffffff);
    return out.append(payload);
}

std::string settings(const std::vector<std::pair<std::uint16_t, std::uint32_t>>& values) {
    std::string payload;
    for (const auto& [id, value] : values) {
        payload += static_cast<char>(id >> 8);
        payload += static_cast<char>(id & 0xff);
        put32(payload, value);
    }
    return frame(kSettings, 0, 0, payload);
}

std::string settingsAck() {
    return frame(kSettings, kAck, 0, "");
}

std::string headerBlock(const Fields& fields) {
    std::string block;
    for (const auto& [name, value] : fields) {
        block += '\0';  // literal without indexing, new name
        putInteger(block, 0, 7, name.size());
        block += name;
        putInteger(block, 0, 7, value.size());
        block += value;
    }
    return block;
}

std::string headers(std::uint32_t stream, const Fields& fields, bool endStream) {
    const auto flags = static_cast<std::uint8_t>(kEndHeaders | (endStream ? kEndStream : 0));
    return frame(kHeaders, flags, stream, headerBlock(fields));
}

std::string data(std::uint32_t stream, std::string_view payload, bool endStream) {
    return frame(kData, endStream ? kEndStream : 0, stream, payload);
}

std::string rstStream(std::uint32_t stream, std::uint32_t code) {
    std::string payload;
    put32(payload, code);
    return frame(kRstStream, 0, stream, payload);
}

std::string goaway(std::uint32_t lastStream, std::uint32_t code) {
    std::string payload;
    put32(payload, lastStream);
    put32(payload, code);
    return frame(kGoaway, 0, 0, payload);
}

std::string ping(std::string_view opaque8, bool ack) {
    return frame(kPing, ack ? kAck : 0, 0, opaque8);
}

std::string reply(std::uint32_t stream, int status, std::string_view body, const Fields& fields) {
    Fields all = {{":status", std::to_string(status)}};
    all.insert(all.end(), fields.begin(), fields.end());
    return headers(stream, all, false) + data(stream, body, true);
}

}  // namespace h2

PeerConnection::PeerConnection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {
    nghttp2_hd_inflater* inflater = nullptr;
    if (nghttp2_hd_inflate_new(&inflater) == 0) {
        inflater_ = inflater;
    }
}

PeerConnection::~PeerConnection() {
    nghttp2_hd_inflate_del(static_cast<nghttp2_hd_inflater*>(inflater_));
}

std::string PeerConnection::path(std::uint32_t stream) const {
    const auto it = paths_.find(stream);
    return it == paths_.end() ? std::string() : it->second;
}

std::string PeerConnection::cookies(std::uint32_t stream) const {
    const auto it = cookies_.find(stream);
    return it == cookies_.end() ? std::string() : it->second;
}

// Every header block is decoded in order, as the client's HPACK state needs, and its :path
// kept, so that a script can tell whose request a stream carries.
void PeerConnection::decodeHeaders(const Frame& f) {
    std::string_view payload = f.payload;
    if (f.type == h2::kHeaders) {
        std::size_t pad = 0;
        if ((f.flags & 0x8) != 0 && !payload.empty()) {  // PADDED
            pad = static_cast<std::uint8_t>(payload[0]);
            payload.remove_prefix(1);
        }
        if ((f.flags & 0x20) != 0) {  // PRIORITY
            payload.remove_prefix(std::min<std::size_t>(5, payload.size()));
        }
        payload.remove_suffix(std::min(pad, payload.size()));
        block_.clear();
    }
    block_.append(payload);
    if ((f.flags & h2::kEndHeaders) == 0 || inflater_ == nullptr) {
        return;
    }
    auto* in = reinterpret_cast<const std::uint8_t*>(block_.data());
    std::size_t left = block_.size();
    for (;;) {
        nghttp2_nv nv;
        int flags = 0;
        const auto n = nghttp2_hd_inflate_hd2(static_cast<nghttp2_hd_inflater*>(inflater_), &nv,
                                              &flags, in, left, 1);
        if (n < 0) {
            break;
        }
        in += n;
        left -= static_cast<std::size_t>(n);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0) {
            const std::string name(reinterpret_cast<const char*>(nv.name), nv.namelen);
            const std::string value(reinterpret_cast<const char*>(nv.value), nv.valuelen);
            if (name == ":path") {
                paths_[f.stream] = value;
            } else if (name == "cookie") {  // crumbs, as a server joins them
                std::string& joined = cookies_[f.stream];
                joined += (joined.empty() ? "" : "; ") + value;
            }
        }
        if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) {
            nghttp2_hd_inflate_end_headers(static_cast<nghttp2_hd_inflater*>(inflater_));
            break;
        }
        if (n == 0 && left == 0) {
            break;
        }
    }
    block_.clear();
}

bool PeerConnection::send(std::string_view bytes) {
    return sendAll(fd_, ssl_, bytes);
}

bool PeerConnection::fill(std::size_t want) {
    while (buffer_.size() < want) {
        char block[16384];
        const long n = readSome(fd_, ssl_, block, sizeof block);
        if (n <= 0) {
            return false;
        }
        ++reads_;
        lastRead_.assign(block, static_cast<std::size_t>(n));
        buffer_.append(lastRead_);
    }
    return true;
}

std::optional<Frame> PeerConnection::readFrame() {
    if (!fill(9)) {
        return std::nullopt;
    }
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(buffer_[i]); };
    const std::size_t length = (byte(0) << 16) | (byte(1) << 8) | byte(2);
    if (!fill(9 + length)) {
        return std::nullopt;
    }
    Frame f;
    f.type = byte(3);
    f.flags = byte(4);
    f.stream = ((byte(5) & 0x7fu) << 24) | (byte(6) << 16) | (byte(7) << 8) | byte(8);
    f.payload = buffer_.substr(9, length);
    buffer_.erase(0, 9 + length);
    if (f.type == h2::kHeaders && headersRead_.empty()) {
        headersRead_ = lastRead_;
    }
    if (f.type == h2::kHeaders || f.type == h2::kContinuation) {
        decodeHeaders(f);
    }
    seen_.push_back(f);
    return f;
}

std::vector<std::uint32_t> PeerConnection::awaitRequests(std::size_t count) {
    std::vector<std::uint32_t> done;
    while (done.size() < count) {
        auto f = readFrame();
        if (!f) {
            break;
        }
        const bool ends = f->type == h2::kHeaders || f->type == h2::kData;
        if (ends && (f->flags & h2::kEndStream) != 0) {
            done.push_back(f->stream);
        }
    }
    return done;
}

std::optional<Frame> PeerConnection::awaitFrame(std::uint8_t type, std::uint8_t flags) {
    while (auto f = readFrame()) {
        if (f->type == type && (f->flags & flags) == flags) {
            return f;
        }
    }
    return std::nullopt;
}

namespace {

int selectH2(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
             unsigned inLength, void*) {
    static const unsigned char kH2[] = {2, 'h', '2'};
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outLength, kH2, sizeof kH2, in, inLength) !=
        OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    }
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

H2Peer::H2Peer(Script script, bool tls, const std::string& address)
    : script_(std::move(script)),
      server_(tls ? tlsCertFile() : std::string(), tls ? tlsKeyFile() : std::string(), address) {
    if (tls) {
        SSL_CTX_set_alpn_select_cb(server_.tls(), selectH2, nullptr);
    }
    server_.start([this](int fd) { serve(fd); });
}

H2Peer::~H2Peer() {
    server_.stop();
}

void H2Peer::serve(int fd) {
    // A client that leaves while the script writes must not end the test binary.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    // A client that goes quiet must not hold the test: reads and writes give up after a few
    // seconds.
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = nullptr;
    bool ready = server_.handshake(fd, ssl);
    PeerConnection conn(fd, ssl);
    if (ready) {
        char block[24];
        std::size_t got = 0;
        while (got < sizeof block) {
            const long n = readSome(fd, ssl, block + got, sizeof block - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        ready = got == sizeof block;
    }
    if (ready) {
        script_(conn);
    }
    if (conn.resetAsked()) {
        // Closed with unread bytes and no linger: the kernel answers with a reset.
        linger cut{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &cut, sizeof cut);
        SSL_free(ssl);
        return;
    }
    if (ssl != nullptr) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
}

}  // namespace vellicor::test
