#pragma once
// A run's requests as HTTP/2 streams, over as few connections as the mall's
// SETTINGS_MAX_CONCURRENT_STREAMS allows. Streams are made ready before the instant and held;
// at the instant every connection gets all of its streams' frames in one write, so the mall
// receives the whole wave together. Streams that find no room wait for a stream to end (or
// for a connection to open) and then go out at once.

#include <curl/curl.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

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
        int streams = 0;         // requests the wave should carry at once
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
    std::uint32_t streamsPerConnection() const { return perConnection_; }

    // Before the instant: the stream is built and held on a connection with room, or waits.
    // The request must outlive the wave.
    void prepare(std::uint64_t tag, const web::H2Request& request, bool holdEnd);
    // After the last prepare(): every held stream is framed now, its bytes kept back; with
    // `headsAhead` the HEADERS go out now and only the streams' ends wait for the instant.
    void stage(bool headsAhead);
    // At the instant: every held stream goes out, one write per connection.
    void fire();
    // After the instant: a new stream, out at once where there is room.
    void send(std::uint64_t tag, const web::H2Request& request);
    // The caller gave up on the stream (its time ran out); no event follows.
    void cancel(std::uint64_t tag);

    // Adds the descriptors to wait for; service() takes the same entries back.
    void addPolled(std::vector<curl_waitfd>& polled);
    // `polled` from `first` on are the ones addPolled() added. Ended streams go to `out`.
    void service(const std::vector<curl_waitfd>& polled, std::size_t first,
                 std::vector<Event>& out);
    // Streams on the wire or waiting for room.
    std::size_t inFlight() const;
    // Whether any stream of `tag` has left for the mall (a cancel then cannot know its fate).
    bool written(std::uint64_t tag) const;

    // The log line that names the protocol: "HTTP/2，3 个连接，每个连接最多 128 个请求".
    std::string protocolLine() const;

  private:
    H2Wave(const Request& request, const Clock& clock);
    struct Waiting {
        std::uint64_t tag = 0;
        const web::H2Request* request = nullptr;  // the caller's, which outlives the wave
        bool holdEnd = false;
    };
    struct Placed {
        std::size_t conn = 0;
        bool written = false;
    };
    void openFirst();
    void openRest();
    bool startConnection();
    void driveOpening();
    bool settled(const web::H2Connection& c) const;
    bool place(Waiting& w);
    void placeWaiting();
    void forget(const std::vector<Event>& events, std::size_t from);
    void keepUp();
    void failWaiting();

    Request request_;
    const Clock& clock_;
    static constexpr int kMostReopens = 8;
    Outcome outcome_ = Outcome::Unreachable;
    Error error_;
    std::uint32_t perConnection_ = 0;
    bool fired_ = false;
    std::vector<std::unique_ptr<web::H2Connection>> conns_;
    std::deque<Waiting> waiting_;
    std::unordered_map<std::uint64_t, Placed> placed_;
    std::vector<Event> late_;  // ended outside service(), handed out by the next one
    std::vector<std::size_t> polledConn_;
    Error lastError_;
    int reopened_ = 0;
};

}  // namespace vellicor::mall
