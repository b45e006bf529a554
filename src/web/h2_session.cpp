#include "web/h2_session.h"

#include <algorithm>

#include "web/h2_session_impl.h"

namespace vellicor::web {

using h2::kMaxHeaderBytes;
using h2::kMostQueuedAcks;
using h2::kUnlimited;
using h2::kWindow;
using h2::Stream;
using Kind = H2Connection::Event::Kind;

H2Session::H2Session(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
H2Session::~H2Session() = default;

Result<std::unique_ptr<H2Session>> H2Session::create(const HttpSettings& http, std::string where) {
    auto self = std::make_unique<Impl>();
    self->where = std::move(where);
    self->maxBody = http.maxBodyBytes;
    nghttp2_session_callbacks* cb = h2::sessionCallbacks();
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

PacketPlan H2Session::packetPlan(std::size_t room) const {
    nghttp2_session* session = impl_->session;
    return PacketPlan(
        room, nghttp2_session_get_remote_settings(session, NGHTTP2_SETTINGS_HEADER_TABLE_SIZE),
        nghttp2_session_get_remote_settings(session, NGHTTP2_SETTINGS_MAX_FRAME_SIZE));
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
