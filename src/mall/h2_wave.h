#pragma once
// A run's requests as HTTP/2 streams. Streams are made ready before the instant and held; at
// the instant every connection gets all of its streams' frames in one write, so the mall
// receives the whole wave together. Each connection carries only what that write can hold and
// still cross the path as one TCP segment: a packet lost on the way then holds back only its
// own requests, while the other connections' arrive. The connections are as many as that
// takes, within the mall's SETTINGS_MAX_CONCURRENT_STREAMS and the per-host cap; where the cap
// leaves too few, the rest share connections as they fit by the stream limit alone. Streams
// that find no room wait for a stream to end (or for a connection to open) and then go out at
// once.
//
// Connections are kept as the HTTP/1.1 ones are: looked at before the instant, replaced when
// they died, and opened anew (at a bounded rate, not up to a fixed count) for as long as
// streams wait for room.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "mall/poll_entry.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/result.h"
#include "web/h2_connection.h"

namespace vellicor::mall {

class H2Wave {
  public:
    struct Request {
        web::Address address;
        std::vector<std::string> numeric;  // the run's resolved addresses
        HttpSettings http;
        web::ProxySetting proxy;  // every connection a tunnel through it, where set
        int streams = 0;          // requests the wave should carry at once
        // Those requests in the order they will be prepared, and whether their ends are held:
        // what sizes the connections by the packet. The requests must outlive the wave.
        std::vector<const web::H2Request*> requests;
        bool holdEnd = false;
        int maxConnections = 1;  // the per-host cap
        bool requireHttp2 = false;
        Clock::Steady deadline;  // connections not open by then are dropped
        std::function<bool()> stopped;
    };
    // Unreachable: no connection of ours could be opened (the run goes libcurl's way, whose
    // requests fail or succeed each on its own). Unusable: the mall answered, but not in a
    // way the wave can use (HTTP/1.1 where HTTP/2 was required, no streams allowed).
    enum class Outcome { Http2, Http1, Unreachable, Unusable };
    using Event = web::H2Connection::Event;

    // Blocks until the mall's protocol is known and the connections are open (or the
    // deadline). Http1: the mall's TLS settled HTTP/1.1, and nothing of it is kept.
    static std::unique_ptr<H2Wave> open(const Request& request, const Clock& clock);
    ~H2Wave();
    H2Wave(const H2Wave&) = delete;
    H2Wave& operator=(const H2Wave&) = delete;

    Outcome outcome() const { return outcome_; }
    const Error& error() const { return error_; }
    int connections() const;
    // What the first connection's TLS settled ("h2", "http/1.1", "" for none), once it did.
    const std::string& alpn() const { return alpn_; }
    // The streams one connection carries: the mall's limit, within the wave's own cap.
    std::uint32_t perConnection() const { return perConnection_; }
    // The connections a wave of `streams` opens, `perConnection` on each, within the cap.
    static std::size_t connectionsFor(int streams, std::uint32_t perConnection, int maxConnections);

    // Before the instant: the stream is built and held on a connection with room, or waits.
    // The request must outlive the wave.
    void prepare(std::uint64_t tag, const web::H2Request& request, bool holdEnd);
    // After the last prepare(): every connection gets a PING, then every held stream is framed
    // now, its bytes kept back; with `headsAhead` the HEADERS go out now and only the
    // streams' ends wait for the instant.
    void stage(bool headsAhead);
    // Shortly before the instant: every connection is looked at for any sign of a close (a
    // reset, the end of the stream, a GOAWAY; stage()'s PING stirs up one that died unseen).
    // The streams of a dead one go on fresh connections, opened now while the deadline
    // allows, else after the instant.
    void look();
    // At the instant: every held stream goes out, one write per connection; streams still
    // waiting for room go as soon as they find it, whole.
    void fire();
    // After the instant: a new stream, out at once where there is room.
    void send(std::uint64_t tag, const web::H2Request& request);
    // The caller gave up on the stream (its time ran out); no event follows.
    void cancel(std::uint64_t tag);

    // Adds the descriptors to wait for; service() takes the same entries back.
    void addPolled(std::vector<PollEntry>& polled);
    // `polled` are the ones addPolled() added, ready or not. Ended streams go to `out`.
    void service(std::span<const PollEntry> polled, std::vector<Event>& out);
    // Streams on the wire or waiting for room.
    std::size_t inFlight() const;
    // Whether the last byte of the stream of `tag` was taken by a socket: from then on the
    // mall may act on it.
    bool written(std::uint64_t tag) const;
    // The earlier of `next` and when a connection may be opened for streams that wait.
    Clock::Steady nextDeadline(Clock::Steady next) const;
    // Streams lost with a connection before the instant (their last byte had not left) and
    // placed again: the mall never saw them.
    int lostAhead() const { return lostAhead_; }

    // After the last prepare(), the log line that names the protocol and what the instant
    // takes: "HTTP/2，3 个连接，每个连接最多 128 个请求，开门时 3 个数据包".
    std::string protocolLine();

  private:
    H2Wave(const Request& request, const Clock& clock);
    struct Waiting {
        std::uint64_t tag = 0;
        const web::H2Request* request = nullptr;  // the caller's, which outlives the wave
        bool holdEnd = false;
    };
    struct Placed {
        std::size_t conn = 0;
        Waiting stream;  // to place it again if its connection dies before the instant
    };
    void openFirst();
    void openRest();
    bool startConnection();
    void driveOpening(Clock::Steady until, bool toFirst);
    bool place(const Waiting& w);
    bool hasRoom(std::size_t conn) const;
    std::size_t connectionsFor(const std::vector<Waiting>& streams) const;
    void placeWaiting();
    void restage();
    void pollAll(std::vector<Event>& out);
    void dropDead(std::vector<Event>& out);
    void ended(Event event, std::vector<Event>& out);
    void keepUp();
    void openForWaiting();
    void failWaiting();

    Request request_;
    const Clock& clock_;
    // A few connections in a row that could not be opened: the streams waiting for one end
    // with the reason.
    static constexpr int kMostFailedOpens = 3;
    Outcome outcome_ = Outcome::Unreachable;
    Error error_;
    std::uint32_t perConnection_ = 0;
    std::string alpn_;
    bool staged_ = false;
    bool headsAhead_ = false;
    bool fired_ = false;
    std::vector<std::unique_ptr<web::H2Connection>> conns_;
    std::deque<Waiting> waiting_;
    std::unordered_map<std::uint64_t, Placed> placed_;
    std::vector<Event> late_;  // ended outside service(), handed out by the next one
    std::vector<std::size_t> polledConn_;
    Error lastError_;
    int failedOpens_ = 0;              // in a row
    std::deque<Clock::Steady> opens_;  // connections started in the last second
    std::size_t opensPerSecond_ = 8;
    int lostAhead_ = 0;
};

}  // namespace vellicor::mall
