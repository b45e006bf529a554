#pragma once
// One HTTP/2 connection to the mall of the tool's own: a socket, TLS by OpenSSL with ALPN
// (or HTTP/2 with prior knowledge on a plain socket), and an nghttp2 client session.
//
// Why not libcurl's connect-only handle: once ALPN settles h2 there, what curl_easy_send
// writes goes through libcurl's own HTTP/2 layer, so frames of ours cannot be written on it.
// The certificate checks are the same as libcurl's: peer and host (or IP) verified, the
// configured CA file replacing the system's store as CURLOPT_CAINFO does.
//
// Everything is non-blocking and driven by the caller's poll loop: the exchange engine
// holds many of these beside its other connections. Streams are submitted and held; nothing
// goes out until flush(), which hands every held frame to one write, so that the mall
// receives a whole wave of requests in the same packet.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/config.h"
#include "platform/result.h"
#include "web/page_request.h"
#include "web/proxy_setting.h"

namespace vellicor::web {

// A request as HTTP/2 header fields, made from the same header text, agent and cookie string
// as the HTTP/1.1 bytes of it (requestBytes): names in lower case, and the fields HTTP/2
// forbids (Connection, Keep-Alive, Proxy-Connection, Transfer-Encoding, Upgrade, Host) left
// out, Host becoming :authority.
struct H2Request {
    std::string method;     // "GET" or "POST"
    std::string scheme;     // "https" or "http"
    std::string authority;  // host[:port], the port only where not the scheme's default
    std::string path;       // path and query
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;  // POST only
    std::string url;   // the address, for error texts and relative redirects
};
Result<H2Request> h2Request(const PageRequest& request);

struct H2Endpoint {
    Address address;                   // host for SNI, :authority and the certificate check
    std::vector<std::string> numeric;  // addresses to connect to, in order; empty resolves host
    HttpSettings http;                 // connect time-out, body cap, CA file
    bool offerHttp1 = true;            // ALPN "h2,http/1.1"; false offers "h2" alone
    ProxySetting proxy;                // a tunnel through it first, where its url is set
    // The steady clock the connect time-out (http.connectTimeoutMs, until Ready) runs on;
    // null for the system's.
    const Clock* clock = nullptr;
};

class PacketPlan;

class H2Connection {
  public:
    // Starts a non-blocking connect; fails at once only for what cannot start (no address).
    static Result<std::unique_ptr<H2Connection>> start(const H2Endpoint& endpoint);
    ~H2Connection();
    H2Connection(const H2Connection&) = delete;
    H2Connection& operator=(const H2Connection&) = delete;

    // While opening: TCP connect, TLS handshake, ALPN, then our preface and SETTINGS out and
    // the mall's SETTINGS in. Http1: ALPN settled http/1.1 or nothing (the caller goes the
    // HTTP/1.1 way instead; this connection is of no further use and its socket is closed).
    // Failed: see error(). Closed: ended in order (abort(), or the mall's GOAWAY once every
    // stream was done).
    enum class Phase { Opening, Ready, Http1, Failed, Closed };
    Phase phase() const;
    const Error& error() const;
    // What ALPN settled, as read back from the TLS session: "h2", "http/1.1" or "".
    const std::string& alpn() const;

    // -1 once the socket is closed (poll() skips it).
    int fd() const;
    // POLLIN / POLLOUT as the connection needs them now (a TLS read may want to write).
    short events() const;
    // Call when poll() reported `revents` on fd(), or at least every slice while Opening.
    // Reads and writes what it can, never blocks; completed streams go to events.
    struct Event {
        enum class Kind {
            Reply,    // the stream ended with a whole reply: `reply` holds it
            Refused,  // the mall did not process it (REFUSED_STREAM, GOAWAY past its last
                      // stream id, or the connection ended before the request's last byte
                      // was written): safe to send again
            Lost,     // the request's last byte was written, then the stream or connection
                      // ended without a reply: the mall may have acted on it
            Failed,   // the reply could not be used (too large, malformed), or the mall reset
                      // the stream before the request was whole: `reply` holds the error
        };
        Kind kind = Kind::Failed;
        std::uint64_t tag = 0;
        Result<Reply> reply = Error{};
        bool sent = false;  // the request's last byte was taken by the socket
    };
    void service(short revents, std::vector<Event>& out);

    // The mall's SETTINGS_MAX_CONCURRENT_STREAMS once Ready (unlimited reads as 2^31-1).
    std::uint32_t maxStreams() const;
    // Streams submitted and not ended, held ones included.
    std::uint32_t openStreams() const;
    // After GOAWAY no new stream may be submitted.
    bool acceptsStreams() const;

    // Adds a stream, held until flush(). `tag` comes back with its Event. With `holdEnd` the
    // HEADERS go without END_STREAM and the stream is ended by releaseEnds() (an empty DATA
    // frame with END_STREAM): the mall has every request but none complete until then.
    // Refused with a clear error unless Ready and accepting, or once openStreams() reaches
    // maxStreams() (SETTINGS_MAX_CONCURRENT_STREAMS 0 says so in its text). The id is the
    // stream's as it will go out; cancelling a held stream before flush() renumbers the held
    // ones after it.
    Result<std::int32_t> submit(const H2Request& request, std::uint64_t tag, bool holdEnd = false);
    // Ends every held stream (see submit); the frames are held until flush().
    void releaseEnds();
    // Frames every held stream now and keeps the bytes back until flush(), so that at the
    // instant nothing is left but the write. Frames the connection owes the mall meanwhile
    // (acknowledgements) wait behind them.
    void stage();
    // Serialises every held frame and writes them with one write; what the socket does not
    // take now goes on as poll reports it writable. True while the connection lives; the
    // events of a connection that died here come with the next service().
    bool flush();
    // Bytes serialised and not yet taken by the socket. At most about kMostPending while
    // the socket takes nothing (a staged wave adds its own bytes): past it, frames wait in
    // nghttp2's queue, whose cap on acknowledgements ends a peer that floods control frames
    // and reads nothing.
    std::size_t pendingBytes() const;
    static constexpr std::size_t kMostPending = 1024 * 1024;
    // A PING, to stir up a connection that died unseen; nothing goes out while a staged
    // wave is held (it would have to wait behind the wave).
    void ping();
    // Once Ready: what this connection's streams put on the wire at the instant, against the
    // bytes one write may carry and still cross the path as one packet (less what the
    // connection may owe the mall by then, its acknowledgements).
    PacketPlan& plan();
    // The same for a connection like this one with nothing on it yet.
    PacketPlan freshPlan() const;
    // Whether the stream's last byte (END_STREAM) was taken by the socket.
    bool sentWhole(std::uint64_t tag) const;
    // Whether the mall's SETTINGS ever came (the connection was Ready once).
    bool wasReady() const;
    // RST_STREAM CANCEL for a stream the caller gave up on (its deadline passed); no Event
    // follows for it.
    void cancel(std::uint64_t tag);
    // Every open stream ends with an Event (Refused where its HEADERS never went out), and
    // the connection closes.
    void abort(const Error& why, std::vector<Event>& out);

  private:
    H2Connection();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vellicor::web
