#include "h2_session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "receiver.h"

namespace vellicor::bench {
namespace {

constexpr std::string_view kExchangePath = "/mall/index.php?op=exchangeing";

nghttp2_nv field(std::string_view name, std::string_view value) {
    // nghttp2 copies names and values (no NO_COPY flags), so the casts never let it write.
    return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
            value.size(), NGHTTP2_NV_FLAG_NONE};
}

bool endsStream(const nghttp2_frame& frame) {
    const bool carries = frame.hd.type == NGHTTP2_HEADERS || frame.hd.type == NGHTTP2_DATA;
    return carries && (frame.hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
}

}  // namespace

struct H2ServerSession::Callbacks {
    static H2ServerSession& of(void* self) { return *static_cast<H2ServerSession*>(self); }

    static int beginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* self) {
        if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
            of(self).streams_[frame->hd.stream_id] = Stream{};
        }
        return 0;
    }

    static int header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                      std::size_t namelen, const std::uint8_t* value, std::size_t valuelen,
                      std::uint8_t, void* self) {
        auto& streams = of(self).streams_;
        const auto it = streams.find(frame->hd.stream_id);
        if (it != streams.end() &&
            std::string_view(reinterpret_cast<const char*>(name), namelen) == ":path") {
            it->second.path.assign(reinterpret_cast<const char*>(value), valuelen);
        }
        return 0;
    }

    static int frame(nghttp2_session*, const nghttp2_frame* frame, void* self) {
        if (endsStream(*frame)) {
            of(self).complete(frame->hd.stream_id);
        }
        return 0;
    }

    static int invalid(nghttp2_session*, const nghttp2_frame*, int, void* self) {
        ++of(self).errors_;
        return 0;
    }

    static int close(nghttp2_session*, std::int32_t stream, std::uint32_t, void* self) {
        of(self).streams_.erase(stream);
        return 0;
    }

    static ssize_t read(nghttp2_session*, std::int32_t stream, std::uint8_t* buf,
                        std::size_t length, std::uint32_t* flags, nghttp2_data_source*,
                        void* self) {
        H2ServerSession& s = of(self);
        const auto it = s.streams_.find(stream);
        if (it == s.streams_.end()) {
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        }
        const std::size_t n = std::min(length, s.body_.size() - it->second.sent);
        std::memcpy(buf, s.body_.data() + it->second.sent, n);
        it->second.sent += n;
        if (it->second.sent == s.body_.size()) {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
        }
        return static_cast<ssize_t>(n);
    }
};

std::unique_ptr<H2ServerSession> H2ServerSession::create(const Options& options) {
    std::unique_ptr<H2ServerSession> s(new H2ServerSession);
    s->body_ = options.body;
    nghttp2_session_callbacks* cb = nullptr;
    if (nghttp2_session_callbacks_new(&cb) != 0) {
        return nullptr;
    }
    nghttp2_session_callbacks_set_on_begin_headers_callback(cb, &Callbacks::beginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(cb, &Callbacks::header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, &Callbacks::frame);
    nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(cb, &Callbacks::invalid);
    nghttp2_session_callbacks_set_on_stream_close_callback(cb, &Callbacks::close);
    const int rc = nghttp2_session_server_new(&s->session_, cb, s.get());
    nghttp2_session_callbacks_del(cb);
    if (rc != 0) {
        return nullptr;
    }
    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, options.maxStreams}};
    if (nghttp2_submit_settings(s->session_, NGHTTP2_FLAG_NONE, settings, 1) != 0) {
        return nullptr;
    }
    return s;
}

H2ServerSession::~H2ServerSession() {
    nghttp2_session_del(session_);
}

bool H2ServerSession::receive(std::string_view plain, std::int64_t at) {
    now_ = at;
    const auto rc = nghttp2_session_mem_recv(
        session_, reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size());
    if (rc < 0) {
        ++errors_;
        return false;
    }
    return true;
}

std::string H2ServerSession::takeOutput() {
    std::string out;
    for (;;) {
        const std::uint8_t* data = nullptr;
        const auto n = nghttp2_session_mem_send(session_, &data);
        if (n <= 0) {
            errors_ += n < 0 ? 1 : 0;
            return out;
        }
        out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
    }
}

std::vector<H2Arrival> H2ServerSession::takeArrivals() {
    return std::exchange(arrivals_, {});
}

bool H2ServerSession::done() const {
    return nghttp2_session_want_read(session_) == 0 && nghttp2_session_want_write(session_) == 0;
}

// Answered at once: the reply is queued inside nghttp2's receive and goes with takeOutput().
void H2ServerSession::complete(std::int32_t stream) {
    const auto it = streams_.find(stream);
    if (it == streams_.end()) {
        return;
    }
    arrivals_.push_back({stream, now_, it->second.path.starts_with(kExchangePath)});
    const std::string date = httpDate();
    const std::string length = std::to_string(body_.size());
    const nghttp2_nv fields[] = {field(":status", "200"), field("date", date),
                                 field("content-type", "text/html; charset=gbk"),
                                 field("content-length", length)};
    nghttp2_data_provider body{};
    body.read_callback = &Callbacks::read;
    if (nghttp2_submit_response(session_, stream, fields, 4, &body) != 0) {
        ++errors_;
    }
}

}  // namespace vellicor::bench
