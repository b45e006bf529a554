#pragma once
// A scripted HTTP/2 server for the tests: TLS with the tests' certificate and ALPN h2 (or
// plain), the client's preface read, then a script that reads frames and writes whatever
// bytes the case needs, well-formed or not. Frames are built by hand so that a script can
// write ones no real server would.

#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "loopback_server.h"

namespace vellicor::test {

namespace h2 {

enum Type : std::uint8_t {
    kData = 0,
    kHeaders = 1,
    kRstStream = 3,
    kSettings = 4,
    kPing = 6,
    kGoaway = 7,
    kWindowUpdate = 8,
    kContinuation = 9,
};
enum Flag : std::uint8_t { kEndStream = 1, kAck = 1, kEndHeaders = 4 };

using Fields = std::vector<std::pair<std::string, std::string>>;

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  std::string_view payload);
std::string settings(const std::vector<std::pair<std::uint16_t, std::uint32_t>>& values = {});
std::string settingsAck();
// A header block of literal fields (":status" first where given), no Huffman coding.
std::string headerBlock(const Fields& fields);
std::string headers(std::uint32_t stream, const Fields& fields, bool endStream);
std::string data(std::uint32_t stream, std::string_view payload, bool endStream);
std::string rstStream(std::uint32_t stream, std::uint32_t code);
std::string goaway(std::uint32_t lastStream, std::uint32_t code);
std::string ping(std::string_view opaque8, bool ack);
// A whole reply: HEADERS with :status and the fields, then the body as one DATA frame.
std::string reply(std::uint32_t stream, int status, std::string_view body,
                  const Fields& fields = {});

}  // namespace h2

struct Frame {
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
    std::uint32_t stream = 0;
    std::string payload;
};

class PeerConnection {
  public:
    PeerConnection(int fd, SSL* ssl);
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;
    bool send(std::string_view bytes);
    int fd() const { return fd_; }
    // The next frame from the client; empty when it left or sent nothing for seconds.
    std::optional<Frame> readFrame();
    // Reads until `count` requests are complete (END_STREAM seen on each), answering
    // nothing; their stream ids in order of completion. Every frame read is kept in seen().
    std::vector<std::uint32_t> awaitRequests(std::size_t count);
    // Reads until a frame of that type (and, for a non-zero `flags`, with those flags) came.
    std::optional<Frame> awaitFrame(std::uint8_t type, std::uint8_t flags = 0);
    const std::vector<Frame>& seen() const { return seen_; }
    // How many times a read from the socket returned data (for TLS: records).
    int reads() const { return reads_; }
    // The bytes of the read that brought the first HEADERS frame.
    const std::string& headersRead() const { return headersRead_; }
    // The :path of a stream whose HEADERS were read; empty when none came.
    std::string path(std::uint32_t stream) const;
    // Its cookie fields joined with "; "; empty when none came.
    std::string cookies(std::uint32_t stream) const;
    // When the script returns, the connection is cut with a TCP reset (no TLS close, no FIN).
    void resetOnReturn() { reset_ = true; }
    bool resetAsked() const { return reset_; }

  private:
    bool fill(std::size_t want);
    void decodeHeaders(const Frame& f);
    int fd_;
    SSL* ssl_;
    void* inflater_ = nullptr;  // the client's HPACK state, one per connection
    std::string block_;         // a header block waiting for its CONTINUATION
    std::map<std::uint32_t, std::string> paths_;
    std::map<std::uint32_t, std::string> cookies_;
    bool reset_ = false;
    std::string buffer_;
    std::vector<Frame> seen_;
    int reads_ = 0;
    std::string lastRead_;
    std::string headersRead_;
};

class H2Peer {
  public:
    using Script = std::function<void(PeerConnection&)>;
    // Listens on 127.0.0.1 (or `address`, in the namespace of the thread that makes it), a
    // free port; TLS (ALPN h2) unless `tls` is false.
    explicit H2Peer(Script script, bool tls = true, const std::string& address = "127.0.0.1");
    ~H2Peer();
    H2Peer(const H2Peer&) = delete;
    H2Peer& operator=(const H2Peer&) = delete;

    std::uint16_t port() const { return server_.port(); }
    std::string url(std::string_view path = "/") const { return server_.url(path); }
    // Connections whose script has finished.
    int finished() const { return server_.finished(); }

  private:
    void serve(int fd);

    Script script_;
    LoopbackServer server_;
};

}  // namespace vellicor::test
