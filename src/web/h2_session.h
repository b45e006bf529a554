#pragma once
// The HTTP/2 client side of one connection without its transport: bytes from the mall go in,
// bytes for the mall come out, completed streams become events. H2Connection puts it on a
// socket; the fuzz target feeds it whatever bytes it likes.
//
// Streams submitted here stay ours until flush(): nghttp2 only learns of them there, so that
// the control frames written in between (SETTINGS and PING acknowledgements, window updates)
// never carry a request out early.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/config.h"
#include "platform/result.h"
#include "web/h2_connection.h"
#include "web/packet_plan.h"

namespace vellicor::web {

class H2Session {
  public:
    using Event = H2Connection::Event;

    // `where` is host:port for error texts. The preface and SETTINGS are queued at once.
    static Result<std::unique_ptr<H2Session>> create(const HttpSettings& http, std::string where);
    ~H2Session();
    H2Session(const H2Session&) = delete;
    H2Session& operator=(const H2Session&) = delete;

    // Bytes from the mall. Completed or refused streams go to `out`.
    void receive(std::string_view bytes, std::vector<Event>& out);
    // Appends what is ready for the wire now (never a held stream) to `wire`, while it holds
    // less than `cap` bytes (0: no cap); the rest waits in nghttp2's queue.
    void produce(std::string& wire, std::vector<Event>& out, std::size_t cap = 0);
    // Hands every held stream and held end to nghttp2, then produces.
    void flush(std::string& wire, std::vector<Event>& out, std::size_t cap = 0);
    // A PING, out with the next produce().
    void ping();
    // The transport took the first `bytes` of the produced bytes.
    void noteTaken(std::uint64_t bytes);
    // Whether the stream's last byte (the frame with END_STREAM) is among the taken bytes.
    bool whole(std::uint64_t tag) const;

    Result<std::int32_t> submit(const H2Request& request, std::uint64_t tag, bool holdEnd);
    void releaseEnds();
    void cancel(std::uint64_t tag);
    // The transport is gone after `taken` of the produced bytes reached it: every stream not
    // yet ended ends now, Refused where its last byte was not among those bytes, else Lost.
    void lost(const Error& why, std::uint64_t taken, std::vector<Event>& out);

    // A plan of the instant's packet under the mall's SETTINGS, for `room` bytes a packet.
    PacketPlan packetPlan(std::size_t room) const;

    bool settingsReceived() const;
    std::uint32_t maxStreams() const;
    std::uint32_t openStreams() const;
    bool goawayReceived() const;
    // nghttp2 wants neither to read nor to write: the session is over.
    bool finished() const;
    // Why the session ended, where it ended on an error of the mall's (a malformed frame, a
    // GOAWAY with an error code); empty otherwise.
    const std::string& failure() const;
    std::uint64_t produced() const;

    struct Impl;

  private:
    explicit H2Session(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vellicor::web
