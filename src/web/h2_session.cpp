#include "web/h2_session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>

#include "web/wire.h"

namespace vellicor::web {
namespace {

// Header blocks beyond this are not a reply of the mall's (the same cap as HTTP/1.1's).
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
// Windows large enough that no reply under the body cap ever waits for a WINDOW_UPDATE.
constexpr std::int32_t kWindow = 16 * 1024 * 1024;
constexpr std::uint32_t kUnlimited = 0x7fffffff;
// Acknowledgements (of PING and SETTINGS) nghttp2 may queue before it calls the session
// flooded: a peer that sends control frames and reads nothing loses its connection.
constexpr std::size_t kMostQueuedAcks = 1000;

using Kind = H2Connection::Event::Kind;

std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

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

}  // namespace

struct H2Session::Impl {
    nghttp2_session* session = nullptr;
    std::string where;
    std::size_t maxBody = 0;
    std::vector<std::unique_ptr<Stream>> held;
    std::map<std::int32_t, std::unique_ptr<Stream>> live;
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

    Stream* find(std::int32_t id) {
        auto it = live.find(id);
        return it == live.end() ? nullptr : it->second.get();
    }
    std::string at() const { return " (" + where + ")"; }
    // The request's last byte reached the transport: from here the mall may act on it.
    bool whole(const Stream& s) const { return s.endSent && s.endAt <= taken; }

    void report(Stream& s, Kind kind, Result<Reply> reply) {
        if (s.reported) {
            return;
        }
        s.reported = true;
        events.push_back(Event{kind, s.tag, std::move(reply), whole(s)});
    }
    void refuse(Stream& s, const std::string& why) {
        report(s, Kind::Refused, makeError(ErrorCode::Transfer, why + at()));
    }
    void fail(Stream& s, ErrorCode code, const std::string& why) {
        report(s, Kind::Failed, makeError(code, why + at()));
    }
    // A cap broken: the stream is reset, and nothing more of it is kept.
    void tooLarge(Stream& s, const std::string& why) {
        fail(s, ErrorCode::TooLarge, why);
        s.body.clear();
        s.headerText.clear();
        nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, s.id, NGHTTP2_CANCEL);
    }
    void complete(Stream& s);
    void headBlockDone(Stream& s);
    void closed(Stream& s, std::uint32_t code);
    int submitToLibrary(Stream& s);
};

namespace {

H2Session::Impl& impl(void* user) {
    return *static_cast<H2Session::Impl*>(user);
}

ssize_t onSend(nghttp2_session*, const std::uint8_t* data, std::size_t length, int, void* user) {
    auto& self = impl(user);
    // What the transport has not taken stays bounded; nghttp2 keeps the rest queued, where
    // its own cap on acknowledgements ends a flood.
    if (self.wireCap > 0 && self.wire->size() >= self.wireCap) {
        return NGHTTP2_ERR_WOULDBLOCK;
    }
    self.wire->append(text(data, length));
    self.produced += length;
    return static_cast<ssize_t>(length);
}

// Our GOAWAY with an error code: nghttp2 found the mall's bytes malformed, and says how in
// its debug data.
void goawaySent(H2Session::Impl& self, const nghttp2_goaway& frame) {
    if (frame.error_code == NGHTTP2_NO_ERROR || !self.failure.empty()) {
        return;
    }
    self.failure =
        std::string("HTTP/2 protocol error: ") + nghttp2_http2_strerror(frame.error_code);
    if (frame.opaque_data_len > 0) {
        self.failure += ": " + std::string(text(frame.opaque_data, frame.opaque_data_len));
    }
}

int onFrameSend(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    auto& self = impl(user);
    if (frame->hd.type == NGHTTP2_GOAWAY) {
        goawaySent(self, frame->goaway);
    }
    const bool request = frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA;
    if (request && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
        if (Stream* s = self.find(frame->hd.stream_id)) {
            s->endSent = true;
            s->endAt = self.produced;
        }
    }
    return 0;
}

int onFrameNotSend(nghttp2_session*, const nghttp2_frame* frame, int error, void* user) {
    auto& self = impl(user);
    if (frame->hd.type == NGHTTP2_HEADERS) {
        if (Stream* s = self.find(frame->hd.stream_id)) {
            self.refuse(*s, std::string("request not sent: ") + nghttp2_strerror(error));
        }
    }
    return 0;
}

int onBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    Stream* s = impl(user).find(frame->hd.stream_id);
    if (s != nullptr && !s->finalHead) {
        s->status = 0;
        s->headerText.clear();
    }
    return 0;
}

int onHeader(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
             std::size_t nameLength, const std::uint8_t* value, std::size_t valueLength,
             std::uint8_t, void* user) {
    auto& self = impl(user);
    Stream* s = self.find(frame->hd.stream_id);
    if (s == nullptr || s->reported || s->finalHead) {
        return 0;  // trailers are not reply headers, as on HTTP/1.1
    }
    // Counted over every block of the stream, interim ones too: a flood of 1xx blocks is
    // as much a flood as one large block.
    s->headerBytes += nameLength + valueLength + 4;
    if (s->headerBytes > kMaxHeaderBytes) {
        self.tooLarge(*s, "reply headers too large");
        return 0;
    }
    const auto n = text(name, nameLength);
    const auto v = text(value, valueLength);
    if (n == ":status") {
        std::from_chars(v.data(), v.data() + v.size(), s->status);
        s->headerText.append("HTTP/2 ").append(v).append("\r\n");
    } else if (n.empty() || n.front() != ':') {
        s->headerText.append(n).append(": ").append(v).append("\r\n");
    }
    if (n == "content-length") {
        std::from_chars(v.data(), v.data() + v.size(), s->announced);
    }
    return 0;
}

int onDataChunk(nghttp2_session*, std::uint8_t, std::int32_t id, const std::uint8_t* data,
                std::size_t length, void* user) {
    auto& self = impl(user);
    Stream* s = self.find(id);
    if (s == nullptr || s->reported) {
        return 0;
    }
    if (length > self.maxBody - s->body.size()) {
        self.tooLarge(*s, "reply body over the cap of " + std::to_string(self.maxBody) + " bytes");
        return 0;
    }
    s->body.append(text(data, length));
    return 0;
}

void onGoaway(H2Session::Impl& self, const nghttp2_goaway& frame) {
    self.goaway = true;
    if (frame.error_code != NGHTTP2_NO_ERROR) {
        self.failure = std::string("the mall ended the connection: ") +
                       nghttp2_http2_strerror(frame.error_code);
    }
    // Streams past its last stream id are closed by nghttp2 as refused; held ones can no
    // longer start.
    for (auto& s : self.held) {
        self.refuse(*s, "the mall is closing the connection (GOAWAY)");
    }
    self.held.clear();
}

int onFrameRecv(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    auto& self = impl(user);
    Stream* s = self.find(frame->hd.stream_id);
    switch (frame->hd.type) {
        case NGHTTP2_SETTINGS:
            self.settings = self.settings || (frame->hd.flags & NGHTTP2_FLAG_ACK) == 0;
            return 0;
        case NGHTTP2_GOAWAY:
            onGoaway(self, frame->goaway);
            return 0;
        case NGHTTP2_RST_STREAM:
            if (s != nullptr) {
                s->resetByPeer = true;
                s->peerReset = frame->rst_stream.error_code;
            }
            return 0;
        case NGHTTP2_HEADERS:
            if (s != nullptr) {
                self.headBlockDone(*s);
            }
            break;
        case NGHTTP2_DATA:
            break;
        default:
            return 0;
    }
    if (s != nullptr && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
        self.complete(*s);
    }
    return 0;
}

int onInvalidFrame(nghttp2_session*, const nghttp2_frame* frame, int error, void* user) {
    if (Stream* s = impl(user).find(frame->hd.stream_id); s != nullptr && s->malformed.empty()) {
        s->malformed = nghttp2_strerror(error);
    }
    return 0;
}

int onStreamClose(nghttp2_session*, std::int32_t id, std::uint32_t code, void* user) {
    auto& self = impl(user);
    auto it = self.live.find(id);
    if (it != self.live.end()) {
        self.closed(*it->second, code);
        self.live.erase(it);
    }
    return 0;
}

int onError(nghttp2_session*, int, const char* message, std::size_t length, void* user) {
    auto& self = impl(user);
    self.failure = "HTTP/2 protocol error: " + std::string(message, length);
    return 0;
}

// The request body, then (once released) the end of the stream; an end that is held
// defers the stream until flush() resumes it.
ssize_t readBody(nghttp2_session*, std::int32_t, std::uint8_t* buf, std::size_t length,
                 std::uint32_t* flags, nghttp2_data_source* source, void*) {
    auto& s = *static_cast<Stream*>(source->ptr);
    const std::string& body = s.request.body;
    const std::size_t n = std::min(length, body.size() - s.bodySent);
    std::memcpy(buf, body.data() + s.bodySent, n);
    s.bodySent += n;
    if (s.bodySent < body.size()) {
        return static_cast<ssize_t>(n);
    }
    if (s.holdEnd && !s.endReleased) {
        return n == 0 ? ssize_t{NGHTTP2_ERR_DEFERRED} : static_cast<ssize_t>(n);
    }
    *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
}

nghttp2_session_callbacks* callbacks() {
    nghttp2_session_callbacks* cb = nullptr;
    if (nghttp2_session_callbacks_new(&cb) != 0) {
        return nullptr;
    }
    nghttp2_session_callbacks_set_send_callback(cb, onSend);
    nghttp2_session_callbacks_set_on_frame_send_callback(cb, onFrameSend);
    nghttp2_session_callbacks_set_on_frame_not_send_callback(cb, onFrameNotSend);
    nghttp2_session_callbacks_set_on_begin_headers_callback(cb, onBeginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(cb, onHeader);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, onDataChunk);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, onFrameRecv);
    nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(cb, onInvalidFrame);
    nghttp2_session_callbacks_set_on_stream_close_callback(cb, onStreamClose);
    nghttp2_session_callbacks_set_error_callback2(cb, onError);
    return cb;
}

nghttp2_nv field(const std::string& name, const std::string& value) {
    // nghttp2 copies the texts at submission; it never writes through these pointers.
    auto* n = reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data()));
    auto* v = reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data()));
    return {n, v, name.size(), value.size(), NGHTTP2_NV_FLAG_NONE};
}

}  // namespace

void H2Session::Impl::headBlockDone(Stream& s) {
    if (s.reported || s.finalHead) {
        return;
    }
    if (s.status >= 100 && s.status < 200) {
        s.status = 0;  // an interim reply; the final one follows
        s.headerText.clear();
        return;
    }
    s.finalHead = true;
    if (s.announced > maxBody) {
        tooLarge(s, "reply body over the cap of " + std::to_string(maxBody) + " bytes");
    }
}

void H2Session::Impl::complete(Stream& s) {
    if (s.reported) {
        return;
    }
    if (!s.finalHead || s.status < 200) {
        fail(s, ErrorCode::Transfer, "not an HTTP reply: the stream ended without a status");
        return;
    }
    Reply reply;
    reply.status = s.status;
    reply.headerText = std::move(s.headerText);
    reply.body = std::move(s.body);
    reply.cookies = replyCookies(reply.headerText);
    reply.redirect = detail::absoluteRedirect(s.request.url, redirectTarget(reply.headerText));
    report(s, Kind::Reply, std::move(reply));
}

void H2Session::Impl::closed(Stream& s, std::uint32_t code) {
    if (s.reported) {
        return;
    }
    const std::string name = nghttp2_http2_strerror(code);
    if (code == NGHTTP2_REFUSED_STREAM) {
        refuse(s, "refused by the mall (REFUSED_STREAM)");
    } else if (s.resetByPeer) {
        report(s, whole(s) ? Kind::Lost : Kind::Failed,
               makeError(ErrorCode::Transfer, "connection broken: stream reset by the mall (" +
                                                  std::string(nghttp2_http2_strerror(s.peerReset)) +
                                                  ")" + at()));
    } else if (!s.malformed.empty()) {
        fail(s, ErrorCode::Transfer, "not an HTTP reply: " + s.malformed);
    } else if (code != NGHTTP2_NO_ERROR) {
        // nghttp2 reset it: what the mall sent on it broke the protocol.
        fail(s, ErrorCode::Transfer, "not an HTTP reply: stream reset for " + name);
    } else {
        report(s, whole(s) ? Kind::Lost : Kind::Failed,
               makeError(ErrorCode::Transfer, "connection closed without a reply" + at()));
    }
}

int H2Session::Impl::submitToLibrary(Stream& s) {
    const H2Request& r = s.request;
    const std::string kMethod = ":method", kScheme = ":scheme", kAuthority = ":authority",
                      kPath = ":path";
    std::vector<nghttp2_nv> nva = {field(kMethod, r.method), field(kScheme, r.scheme),
                                   field(kAuthority, r.authority), field(kPath, r.path)};
    for (const auto& [name, value] : r.fields) {
        nva.push_back(field(name, value));
    }
    nghttp2_data_provider provider{};
    provider.source.ptr = &s;
    provider.read_callback = readBody;
    const bool withData = s.holdEnd || !r.body.empty();
    return nghttp2_submit_request(session, nullptr, nva.data(), nva.size(),
                                  withData ? &provider : nullptr, nullptr);
}

H2Session::H2Session(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
H2Session::~H2Session() = default;

Result<std::unique_ptr<H2Session>> H2Session::create(const HttpSettings& http, std::string where) {
    auto self = std::make_unique<Impl>();
    self->where = std::move(where);
    self->maxBody = http.maxBodyBytes;
    nghttp2_session_callbacks* cb = callbacks();
    int rc = cb == nullptr ? NGHTTP2_ERR_NOMEM : 0;
    nghttp2_option* option = nullptr;
    if (rc == 0) {
        rc = nghttp2_option_new(&option);
    }
    if (rc == 0) {
        nghttp2_option_set_max_outbound_ack(option, kMostQueuedAcks);
        rc = nghttp2_session_client_new2(&self->session, cb, self.get(), option);
    }
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(cb);
    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
        {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kWindow},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, kMaxHeaderBytes},
    };
    if (rc == 0) {
        rc = nghttp2_submit_settings(self->session, NGHTTP2_FLAG_NONE, settings,
                                     std::size(settings));
    }
    if (rc == 0) {
        rc = nghttp2_session_set_local_window_size(self->session, NGHTTP2_FLAG_NONE, 0, kWindow);
    }
    if (rc != 0) {
        return makeError(ErrorCode::Internal,
                         std::string("setting up HTTP/2 failed: ") + nghttp2_strerror(rc));
    }
    return std::unique_ptr<H2Session>(new H2Session(std::move(self)));
}

void H2Session::receive(std::string_view bytes, std::vector<Event>& out) {
    Impl& s = *impl_;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (s.broken) {
        return;
    }
    const ssize_t rc = nghttp2_session_mem_recv(s.session, data, bytes.size());
    if (rc < 0) {
        s.broken = true;
        if (s.failure.empty()) {
            s.failure =
                std::string("HTTP/2 protocol error: ") + nghttp2_strerror(static_cast<int>(rc));
        }
    }
    std::move(s.events.begin(), s.events.end(), std::back_inserter(out));
    s.events.clear();
}

void H2Session::produce(std::string& wire, std::vector<Event>& out, std::size_t cap) {
    Impl& s = *impl_;
    if (s.broken) {
        return;
    }
    s.wire = &wire;
    s.wireCap = cap;
    const int rc = nghttp2_session_send(s.session);
    s.wire = nullptr;
    if (rc < 0) {
        s.broken = true;
        if (s.failure.empty()) {
            s.failure = std::string("HTTP/2 protocol error: ") + nghttp2_strerror(rc);
        }
    }
    std::move(s.events.begin(), s.events.end(), std::back_inserter(out));
    s.events.clear();
}

void H2Session::flush(std::string& wire, std::vector<Event>& out, std::size_t cap) {
    Impl& s = *impl_;
    for (auto& [id, stream] : s.live) {
        if (stream->endPending && !stream->endReleased) {
            stream->endReleased = true;
            nghttp2_session_resume_data(s.session, id);
        }
    }
    auto held = std::move(s.held);
    s.held.clear();
    for (auto& stream : held) {
        stream->endReleased = stream->endPending;
        const int id = s.submitToLibrary(*stream);
        if (id < 0) {
            s.refuse(*stream, std::string("request not sent: ") + nghttp2_strerror(id));
            continue;
        }
        stream->id = id;
        s.live.emplace(id, std::move(stream));
    }
    produce(wire, out, cap);
}

void H2Session::ping() {
    if (!impl_->broken) {
        nghttp2_submit_ping(impl_->session, NGHTTP2_FLAG_NONE, nullptr);
    }
}

void H2Session::noteTaken(std::uint64_t bytes) {
    impl_->taken = bytes;
}

bool H2Session::whole(std::uint64_t tag) const {
    for (const auto& [id, s] : impl_->live) {
        if (s->tag == tag) {
            return impl_->whole(*s);
        }
    }
    return false;
}

Result<std::int32_t> H2Session::submit(const H2Request& request, std::uint64_t tag, bool holdEnd) {
    Impl& s = *impl_;
    if (s.goaway || finished()) {
        return makeError(ErrorCode::Transfer,
                         "the connection takes no new requests (the mall is closing it)" + s.at());
    }
    if (maxStreams() == 0) {
        return makeError(ErrorCode::Transfer,
                         "the mall allows no requests on this connection "
                         "(SETTINGS_MAX_CONCURRENT_STREAMS 0)" +
                             s.at());
    }
    if (openStreams() >= maxStreams()) {
        return makeError(ErrorCode::Transfer, "the mall allows only " +
                                                  std::to_string(maxStreams()) +
                                                  " requests at once on a connection" + s.at());
    }
    const std::int32_t next = nghttp2_session_get_next_stream_id(s.session);
    const auto id = static_cast<std::int32_t>(next + 2 * s.held.size());
    if (next <= 0 || id <= 0) {
        return makeError(ErrorCode::Transfer, "the connection has no stream ids left" + s.at());
    }
    auto stream = std::make_unique<Stream>();
    stream->tag = tag;
    stream->request = request;
    stream->holdEnd = holdEnd;
    s.held.push_back(std::move(stream));
    return id;
}

void H2Session::releaseEnds() {
    for (auto& s : impl_->held) {
        s->endPending = s->holdEnd;
    }
    for (auto& [id, s] : impl_->live) {
        s->endPending = s->holdEnd;
    }
}

void H2Session::cancel(std::uint64_t tag) {
    Impl& s = *impl_;
    std::erase_if(s.held, [tag](const auto& held) { return held->tag == tag; });
    for (auto& [id, stream] : s.live) {
        if (stream->tag == tag && !stream->reported) {
            stream->reported = true;  // the caller gave up on it: no event
            nghttp2_submit_rst_stream(s.session, NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
        }
    }
}

void H2Session::lost(const Error& why, std::uint64_t taken, std::vector<Event>& out) {
    Impl& s = *impl_;
    s.taken = taken;
    for (auto& stream : s.held) {
        s.report(*stream, Kind::Refused, why);
    }
    s.held.clear();
    for (auto& [id, stream] : s.live) {
        s.report(*stream, s.whole(*stream) ? Kind::Lost : Kind::Refused, why);
    }
    std::move(s.events.begin(), s.events.end(), std::back_inserter(out));
    s.events.clear();
}

bool H2Session::settingsReceived() const {
    return impl_->settings;
}

std::uint32_t H2Session::maxStreams() const {
    const std::uint32_t v = nghttp2_session_get_remote_settings(
        impl_->session, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
    return std::min(v, kUnlimited);
}

std::uint32_t H2Session::openStreams() const {
    std::uint32_t n = static_cast<std::uint32_t>(impl_->held.size());
    for (const auto& [id, s] : impl_->live) {
        n += s->reported ? 0 : 1;
    }
    return n;
}

bool H2Session::goawayReceived() const {
    return impl_->goaway;
}

bool H2Session::finished() const {
    return impl_->broken || (nghttp2_session_want_read(impl_->session) == 0 &&
                             nghttp2_session_want_write(impl_->session) == 0);
}

const std::string& H2Session::failure() const {
    return impl_->failure;
}

std::uint64_t H2Session::produced() const {
    return impl_->produced;
}

}  // namespace vellicor::web
