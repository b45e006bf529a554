#include "web/segment_fit.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/objects.h>
#include <sys/socket.h>

#include <algorithm>

namespace vellicor::web {
namespace {

constexpr std::size_t kMostRecord = 16384;  // plaintext in one TLS record
constexpr std::size_t kLeastRecord = 512;   // the least OpenSSL lets a record be cut to

// What TLS adds to each record with the cipher this connection settled: the header and the
// tag, with TLS 1.3's inner content type or TLS 1.2's explicit nonce; a block cipher's IV, MAC
// and padding at their most.
std::size_t recordOverhead(const SSL* ssl) {
    constexpr std::size_t kHeader = 5;
    constexpr std::size_t kTag = 16;
    if (SSL_version(ssl) >= TLS1_3_VERSION) {
        return kHeader + kTag + 1;
    }
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (cipher != nullptr && SSL_CIPHER_is_aead(cipher) != 0) {
        const bool chacha = SSL_CIPHER_get_cipher_nid(cipher) == NID_chacha20_poly1305;
        return kHeader + kTag + (chacha ? 0 : 8);
    }
    constexpr std::size_t kBlock = 16;
    constexpr std::size_t kMostMac = 48;
    return kHeader + kBlock + kMostMac + kBlock;
}

}  // namespace

std::size_t fitToSegments(int fd, SSL* ssl) {
    int mss = 0;
    socklen_t length = sizeof mss;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &length) != 0 || mss <= 0) {
        return 0;
    }
    const auto segment = static_cast<std::size_t>(mss);
    if (ssl == nullptr) {
        return segment;
    }
    const std::size_t overhead = recordOverhead(ssl);
    if (segment <= overhead + kLeastRecord) {
        return segment > overhead ? segment - overhead : 1;
    }
    // A segment larger than a record (loopback) holds several whole ones.
    const std::size_t records = (segment + kMostRecord + overhead - 1) / (kMostRecord + overhead);
    const std::size_t fragment = std::min(kMostRecord, segment - overhead);
    SSL_set_max_send_fragment(ssl, static_cast<long>(fragment));
    return segment - overhead * records;
}

}  // namespace vellicor::web
