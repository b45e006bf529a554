#pragma once
// The HTTP/2 side of the benchmark's TLS receiver: one nghttp2 server session per connection,
// fed the connection's plaintext piece by piece, each piece carrying the kernel receive time
// of the TLS record it was decrypted from.
//
// A request arrives when it is complete, as with HTTP/1.1: when its HEADERS (with every
// CONTINUATION) end the stream, or else when the frame that ends the stream comes. It is
// stamped with the time of the piece that completed it, so a sender that holds back its
// END_STREAM has sent nothing the mall can act on until that lands.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct nghttp2_session;

namespace vellicor::bench {

struct H2Arrival {
    std::int32_t stream = 0;
    std::int64_t at = 0;    // the stamp of the piece that completed the request
    bool exchange = false;  // an exchange request, not a warm-up or other page
};

class H2ServerSession {
  public:
    struct Options {
        std::uint32_t maxStreams = 128;  // SETTINGS_MAX_CONCURRENT_STREAMS
        std::string body;                // every reply's body (a GBK page)
    };

    // Null when nghttp2 cannot make a session. The server's SETTINGS are queued at once.
    static std::unique_ptr<H2ServerSession> create(const Options& options);
    ~H2ServerSession();
    H2ServerSession(const H2ServerSession&) = delete;
    H2ServerSession& operator=(const H2ServerSession&) = delete;

    // False on a connection error (a bad preface, a frame nghttp2 refuses): the connection
    // is done once takeOutput() has given what nghttp2 still wants to say.
    bool receive(std::string_view plain, std::int64_t at);
    // Frames waiting to go out (SETTINGS, their acknowledgements, replies, GOAWAY).
    std::string takeOutput();
    // Requests completed since the last call, in order.
    std::vector<H2Arrival> takeArrivals();
    // Connection errors, and frames or streams nghttp2 rejected.
    int protocolErrors() const { return errors_; }
    // Neither side wants more: the connection may close.
    bool done() const;

  private:
    struct Stream {
        std::string path;
        std::size_t sent = 0;  // reply body bytes handed to nghttp2
    };
    H2ServerSession() = default;
    void complete(std::int32_t stream);

    // nghttp2's callbacks, which reach the members below.
    struct Callbacks;
    friend struct Callbacks;

    nghttp2_session* session_ = nullptr;
    std::string body_;
    std::int64_t now_ = 0;  // the stamp of the piece being received
    int errors_ = 0;
    std::map<std::int32_t, Stream> streams_;
    std::vector<H2Arrival> arrivals_;
};

}  // namespace vellicor::bench
