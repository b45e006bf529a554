#pragma once
// The inside of an HTTP/2 session, shared by the session's calls (h2_session.cpp) and what
// nghttp2 calls back while it reads and writes (h2_session_events.cpp).

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "web/h2_session.h"

namespace vellicor::web::h2 {

// Header blocks beyond this are not a reply of the mall's (the same cap as HTTP/1.1's).
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
// Windows large enough that no reply under the body cap ever waits for a WINDOW_UPDATE.
constexpr std::int32_t kWindow = 16 * 1024 * 1024;
constexpr std::uint32_t kUnlimited = 0x7fffffff;
// Acknowledgements (of PING and SETTINGS) nghttp2 may queue before it calls the session
// flooded: a peer that sends control frames and reads nothing loses its connection.
constexpr std::size_t kMostQueuedAcks = 1000;

struct Stream {
    std::uint64_t tag = 0;
    std::int32_t id = 0;  // 0 while held
    H2Request request;
    bool holdEnd = false;
    bool endPending = false;   // releaseEnds() asked, flush() not yet
    bool endReleased = false;  // the data source may end the stream
    std::size_t bodySent = 0;
    bool endSent = false;     // the frame with END_STREAM is among the produced bytes
    std::uint64_t endAt = 0;  // produced bytes up to the end of that frame
    bool reported = false;
    long status = 0;
    bool finalHead = false;  // the final (non-1xx) header block is in
    std::size_t headerBytes = 0;
    std::uint64_t announced = 0;  // content-length, 0 when none
    std::string headerText;
    std::string body;
    std::uint32_t peerReset = 0;
    bool resetByPeer = false;
    std::string malformed;
};

}  // namespace vellicor::web::h2

namespace vellicor::web {

struct H2Session::Impl {
    using Kind = H2Connection::Event::Kind;

    nghttp2_session* session = nullptr;
    std::string where;
    std::size_t maxBody = 0;
    std::vector<std::unique_ptr<h2::Stream>> held;
    std::map<std::int32_t, std::unique_ptr<h2::Stream>> live;
    std::vector<Event> events;
    std::string* wire = nullptr;
    std::size_t wireCap = 0;  // produce no more while the wire holds this much
    std::uint64_t produced = 0;
    std::uint64_t taken = 0;  // of the produced bytes, those the transport took
    bool settings = false;
    bool goaway = false;
    bool broken = false;  // nghttp2 gave up on the session (a fatal error)
    std::string failure;

    ~Impl() {
        if (session != nullptr) {
            nghttp2_session_del(session);
        }
    }

    h2::Stream* find(std::int32_t id) {
        auto it = live.find(id);
        return it == live.end() ? nullptr : it->second.get();
    }
    std::string at() const { return " (" + where + ")"; }
    // The request's last byte reached the transport: from here the mall may act on it.
    bool whole(const h2::Stream& s) const { return s.endSent && s.endAt <= taken; }

    void report(h2::Stream& s, Kind kind, Result<Reply> reply) {
        if (s.reported) {
            return;
        }
        s.reported = true;
        events.push_back(Event{kind, s.tag, std::move(reply), whole(s)});
    }
    void refuse(h2::Stream& s, const std::string& why) {
        report(s, Kind::Refused, makeError(ErrorCode::Transfer, why + at()));
    }
    void fail(h2::Stream& s, ErrorCode code, const std::string& why) {
        report(s, Kind::Failed, makeError(code, why + at()));
    }
    // A cap broken: the stream is reset, and nothing more of it is kept.
    void tooLarge(h2::Stream& s, const std::string& why) {
        fail(s, ErrorCode::TooLarge, why);
        s.body.clear();
        s.headerText.clear();
        nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, s.id, NGHTTP2_CANCEL);
    }
    void complete(h2::Stream& s);
    void headBlockDone(h2::Stream& s);
    void closed(h2::Stream& s, std::uint32_t code);
    int submitToLibrary(h2::Stream& s);
};

namespace h2 {
// The callbacks every session is made with; null when nghttp2 has no memory for them.
nghttp2_session_callbacks* sessionCallbacks();
// The request's header fields as they go out, pseudo-fields first; they point into `r`.
std::vector<nghttp2_nv> headerList(const H2Request& r);
}  // namespace h2

}  // namespace vellicor::web
