#include "h2_floor.h"

#include <nghttp2/nghttp2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string_view>
#include <vector>

namespace vellicor::bench {
namespace {

nghttp2_nv field(std::string_view name, std::string_view value) {
    // nghttp2 copies names and values (no NO_COPY flags), so the casts never let it write.
    return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
            value.size(), NGHTTP2_NV_FLAG_NONE};
}

int onFrame(nghttp2_session*, const nghttp2_frame* frame, void* settled) {
    if (frame->hd.type == NGHTTP2_SETTINGS && (frame->hd.flags & NGHTTP2_FLAG_ACK) == 0) {
        *static_cast<bool*>(settled) = true;
    }
    return 0;
}

}  // namespace

struct H2Floor::Impl {
    int fd = -1;
    SSL* ssl = nullptr;
    nghttp2_session* session = nullptr;
    bool settled = false;  // the receiver's SETTINGS came
    std::string authority;
    std::string wave;  // the framed requests

    ~Impl() {
        nghttp2_session_del(session);
        SSL_free(ssl);
        if (fd >= 0) {
            close(fd);
        }
    }

    std::string framed() {
        std::string out;
        const std::uint8_t* data = nullptr;
        for (ssize_t n; (n = nghttp2_session_mem_send(session, &data)) > 0;) {
            out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
        }
        return out;
    }

    bool write(const std::string& bytes) const {
        return bytes.empty() || SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) ==
                                    static_cast<int>(bytes.size());
    }

    // Our preface and SETTINGS out; reads (two seconds at most per read) until the
    // receiver's SETTINGS are in, then acknowledges them.
    Status settle() {
        if (!write(framed())) {
            return makeError(ErrorCode::Transfer, "the HTTP/2 preface did not go out");
        }
        const timeval limit{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        while (!settled) {
            char buf[4096];
            const int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0 || nghttp2_session_mem_recv(session, reinterpret_cast<std::uint8_t*>(buf),
                                                   static_cast<std::size_t>(n)) < 0) {
                ERR_clear_error();
                return makeError(ErrorCode::Transfer, "no HTTP/2 SETTINGS from the receiver");
            }
        }
        return write(framed()) ? Status(Ok{})
                               : makeError(ErrorCode::Transfer, "SETTINGS ACK did not go out");
    }
};

Result<std::unique_ptr<H2Floor>> H2Floor::open(int port) {
    static const TlsClient tls(std::string("\x02h2", 3));
    std::unique_ptr<H2Floor> floor(new H2Floor);
    floor->impl_ = std::make_unique<Impl>();
    Impl& m = *floor->impl_;
    m.authority = "127.0.0.1:" + std::to_string(port);
    m.fd = connectTo(port);
    m.ssl = m.fd >= 0 ? tls.handshake(m.fd) : nullptr;
    if (m.ssl == nullptr) {
        return makeError(ErrorCode::Tls, "no TLS connection to the receiver");
    }
    const unsigned char* alpn = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(m.ssl, &alpn, &len);
    if (std::string_view(reinterpret_cast<const char*>(alpn), len) != "h2") {
        return makeError(ErrorCode::Tls, "ALPN did not settle h2");
    }
    nghttp2_session_callbacks* cb = nullptr;
    nghttp2_session_callbacks_new(&cb);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, &onFrame);
    const int rc = nghttp2_session_client_new(&m.session, cb, &m.settled);
    nghttp2_session_callbacks_del(cb);
    if (rc != 0 || nghttp2_submit_settings(m.session, NGHTTP2_FLAG_NONE, nullptr, 0) != 0) {
        return makeError(ErrorCode::Internal, "no HTTP/2 client session");
    }
    if (auto st = m.settle(); !st) {
        return st.error();
    }
    return floor;
}

H2Floor::~H2Floor() = default;

Status H2Floor::prepare(int n, const std::string& path) {
    Impl& m = *impl_;
    const nghttp2_nv fields[] = {
        field(":method", "GET"), field(":scheme", "https"), field(":authority", m.authority),
        field(":path", path),    field("cookie", kCookies), field("user-agent", "vellicor-bench"),
    };
    for (int i = 0; i < n; ++i) {
        if (nghttp2_submit_request(m.session, nullptr, fields, 6, nullptr, nullptr) < 0) {
            return makeError(ErrorCode::Internal, "nghttp2 refused a request");
        }
    }
    m.wave = m.framed();
    // From here TLS records go to memory, so that the whole wave leaves in one send.
    SSL_set0_wbio(m.ssl, BIO_new(BIO_s_mem()));
    return Ok{};
}

bool H2Floor::fire() {
    Impl& m = *impl_;
    if (!m.write(m.wave)) {
        ERR_clear_error();
        return false;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(SSL_get_wbio(m.ssl), &data);
    std::size_t sent = 0;
    while (sent < static_cast<std::size_t>(size)) {
        const ssize_t n =
            ::send(m.fd, data + sent, static_cast<std::size_t>(size) - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace vellicor::bench
