// What nghttp2 calls back while a session reads and writes, and how a stream's end becomes
// the event its request waits for.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "web/h2_session_impl.h"
#include "web/wire.h"

namespace vellicor::web {

using h2::kMaxHeaderBytes;
using h2::Stream;
using Kind = H2Connection::Event::Kind;

namespace {

std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace

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
    const std::vector<nghttp2_nv> nva = h2::headerList(r);
    nghttp2_data_provider provider{};
    provider.source.ptr = &s;
    provider.read_callback = readBody;
    const bool withData = s.holdEnd || !r.body.empty();
    return nghttp2_submit_request(session, nullptr, nva.data(), nva.size(),
                                  withData ? &provider : nullptr, nullptr);
}

namespace h2 {
nghttp2_session_callbacks* sessionCallbacks() {
    return callbacks();
}

std::vector<nghttp2_nv> headerList(const H2Request& r) {
    static const std::string kMethod = ":method", kScheme = ":scheme", kAuthority = ":authority",
                             kPath = ":path";
    std::vector<nghttp2_nv> nva = {field(kMethod, r.method), field(kScheme, r.scheme),
                                   field(kAuthority, r.authority), field(kPath, r.path)};
    for (const auto& [name, value] : r.fields) {
        nva.push_back(field(name, value));
    }
    return nva;
}
}  // namespace h2

}  // namespace vellicor::web
