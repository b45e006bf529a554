#include "web/h2_connection.h"

#include "web/h2_session.h"
#include "web/tls_client.h"

namespace vellicor::web {
namespace {

// Reads per service() call, so that one busy connection cannot starve the caller's others.
constexpr int kReadsPerService = 64;
// What a connection may owe the mall when its wave goes, written with it: acknowledgements
// of a PING or two and of SETTINGS, and the few bytes of a header table size update.
constexpr std::size_t kOwedBytes = 48;

using Io = ClientSocket::Io;

}  // namespace

struct H2Connection::Impl {
    H2Endpoint endpoint;
    std::string where;
    const Clock* clock = nullptr;
    Clock::Steady deadline;
    std::unique_ptr<ClientSocket> socket;
    std::unique_ptr<H2Session> session;
    Phase phase = Phase::Opening;
    Error error;
    std::string alpn;
    std::string pending;          // serialised, not yet taken by the socket
    std::uint64_t taken = 0;      // bytes the socket took in all
    std::vector<Event> deferred;  // events of calls that have no event list
    bool holding = false;         // framed ahead of the instant: nothing is written until flush()
    std::unique_ptr<PacketPlan> plan;

    std::size_t packetRoom() const {
        const std::size_t room = socket->packetRoom();
        return room > 2 * kOwedBytes ? room - kOwedBytes : room;
    }

    std::string at() const { return " (" + where + ")"; }
    void open();
    void exchange(std::vector<Event>& out);
    bool writePending(std::vector<Event>& out);
    void lose(const Error& why, std::vector<Event>& out);
    void checkEnd(std::vector<Event>& out);
    void fail(const Error& why) {
        phase = Phase::Failed;
        error = why;
    }
};

// The socket and TLS are up: HTTP/2 starts, or the caller goes the HTTP/1.1 way.
void H2Connection::Impl::open() {
    alpn = socket->alpn();
    if (endpoint.address.secure && alpn != "h2") {
        phase = Phase::Http1;
        socket->close();
        return;
    }
    auto created = H2Session::create(endpoint.http, where);
    if (!created) {
        fail(created.error());
        socket->close();
        return;
    }
    session = std::move(created.value());
}

// Writes what is pending, then reads what came and answers it; never blocks.
void H2Connection::Impl::exchange(std::vector<Event>& out) {
    session->produce(pending, out, kMostPending);
    if (!writePending(out)) {
        return;
    }
    for (int i = 0; i < kReadsPerService; ++i) {
        std::string bytes;
        const Io io = socket->read(bytes);
        if (io == Io::Again) {
            break;
        }
        if (io != Io::Done) {
            const bool closed = io == Io::Closed;
            lose(makeError(ErrorCode::Transfer,
                           closed ? "connection closed without a reply" + at()
                                  : "connection broken" + at() + ": " + socket->lastFailure()),
                 out);
            return;
        }
        session->receive(bytes, out);
        if (phase == Phase::Opening && session->settingsReceived()) {
            phase = Phase::Ready;
        }
        session->produce(pending, out, kMostPending);
        if (!writePending(out) || session->finished()) {
            break;
        }
    }
    checkEnd(out);
}

bool H2Connection::Impl::writePending(std::vector<Event>& out) {
    if (holding) {
        return true;
    }
    while (!pending.empty()) {
        std::size_t n = 0;
        const Io io = socket->write(pending, n);
        pending.erase(0, n);
        taken += n;
        if (session != nullptr) {
            session->noteTaken(taken);
        }
        if (io == Io::Again || (io == Io::Done && n == 0)) {
            return true;
        }
        if (io != Io::Done) {
            lose(makeError(ErrorCode::Transfer,
                           "connection broken" + at() + ": " + socket->lastFailure()),
                 out);
            return false;
        }
    }
    return true;
}

void H2Connection::Impl::lose(const Error& why, std::vector<Event>& out) {
    if (session != nullptr) {
        session->lost(why, taken, out);
    }
    socket->close();
    pending.clear();
    if (phase == Phase::Opening || phase == Phase::Ready) {
        const bool orderly = session != nullptr && session->goawayReceived() &&
                             session->failure().empty() && session->openStreams() == 0;
        if (orderly) {
            phase = Phase::Closed;
        } else {
            fail(why);
        }
    }
}

// The session is over (the mall's GOAWAY with every stream done, or a protocol error).
void H2Connection::Impl::checkEnd(std::vector<Event>& out) {
    const bool alive = phase == Phase::Opening || phase == Phase::Ready;
    if (!alive || session == nullptr || !session->finished()) {
        return;
    }
    const std::string& failure = session->failure();
    lose(makeError(ErrorCode::Transfer,
                   failure.empty() ? "connection closed by the mall" + at() : failure + at()),
         out);
}

H2Connection::H2Connection() : impl_(std::make_unique<Impl>()) {}
H2Connection::~H2Connection() = default;

Result<std::unique_ptr<H2Connection>> H2Connection::start(const H2Endpoint& endpoint) {
    std::unique_ptr<H2Connection> c(new H2Connection());
    Impl& s = *c->impl_;
    s.endpoint = endpoint;
    s.where = endpoint.address.host + ":" + std::to_string(endpoint.address.port);
    s.clock = endpoint.clock != nullptr ? endpoint.clock : &SystemClock::instance();
    s.deadline = s.clock->steadyNow() + std::chrono::milliseconds(endpoint.http.connectTimeoutMs);
    SocketTarget target;
    target.host = endpoint.address.host;
    target.port = endpoint.address.port;
    target.numeric = endpoint.numeric;
    target.tls = endpoint.address.secure;
    target.alpn = endpoint.offerHttp1 ? std::vector<std::string>{"h2", "http/1.1"}
                                      : std::vector<std::string>{"h2"};
    target.caFile = endpoint.http.caFile;
    target.proxy = endpoint.proxy;
    target.connectTimeoutMs = endpoint.http.connectTimeoutMs;
    auto socket = ClientSocket::open(target);
    if (!socket) {
        return socket.error();
    }
    s.socket = std::move(socket.value());
    std::vector<Event> none;
    c->service(0, none);
    return c;
}

H2Connection::Phase H2Connection::phase() const {
    return impl_->phase;
}

const Error& H2Connection::error() const {
    return impl_->error;
}

const std::string& H2Connection::alpn() const {
    return impl_->alpn;
}

int H2Connection::fd() const {
    return impl_->socket->fd();
}

short H2Connection::events() const {
    const Impl& s = *impl_;
    if (s.phase != Phase::Opening && s.phase != Phase::Ready) {
        return 0;
    }
    return s.socket->events(!s.pending.empty() && !s.holding);
}

void H2Connection::service(short, std::vector<Event>& out) {
    Impl& s = *impl_;
    std::move(s.deferred.begin(), s.deferred.end(), std::back_inserter(out));
    s.deferred.clear();
    if (s.phase != Phase::Opening && s.phase != Phase::Ready) {
        return;
    }
    if (s.session == nullptr) {
        s.socket->advance();
        if (s.socket->state() == ClientSocket::State::Failed) {
            s.fail(s.socket->error());
            return;
        }
        if (s.socket->state() == ClientSocket::State::Open) {
            s.open();
        }
    }
    if (s.session != nullptr) {
        s.exchange(out);
    }
    if (s.phase == Phase::Opening && s.clock->steadyNow() >= s.deadline) {
        s.lose(makeError(ErrorCode::Timeout,
                         "timed out" + s.at() + ": no HTTP/2 connection within " +
                             std::to_string(s.endpoint.http.connectTimeoutMs) + " ms"),
               out);
    }
}

std::uint32_t H2Connection::maxStreams() const {
    return impl_->session != nullptr ? impl_->session->maxStreams() : 0;
}

std::uint32_t H2Connection::openStreams() const {
    return impl_->session != nullptr ? impl_->session->openStreams() : 0;
}

bool H2Connection::acceptsStreams() const {
    return impl_->phase == Phase::Ready && !impl_->session->goawayReceived();
}

Result<std::int32_t> H2Connection::submit(const H2Request& request, std::uint64_t tag,
                                          bool holdEnd) {
    Impl& s = *impl_;
    if (s.phase != Phase::Ready) {
        return makeError(ErrorCode::Transfer, "the HTTP/2 connection is not ready" + s.at());
    }
    return s.session->submit(request, tag, holdEnd);
}

void H2Connection::releaseEnds() {
    if (impl_->session != nullptr) {
        impl_->session->releaseEnds();
    }
}

void H2Connection::stage() {
    Impl& s = *impl_;
    if (s.phase != Phase::Ready) {
        return;
    }
    s.session->flush(s.pending, s.deferred);
    s.holding = true;
}

bool H2Connection::flush() {
    Impl& s = *impl_;
    if (s.phase != Phase::Ready) {
        return false;
    }
    s.holding = false;
    s.session->flush(s.pending, s.deferred);
    return s.writePending(s.deferred);
}

std::size_t H2Connection::pendingBytes() const {
    return impl_->pending.size();
}

void H2Connection::cancel(std::uint64_t tag) {
    Impl& s = *impl_;
    if (s.session == nullptr || s.phase != Phase::Ready) {
        return;
    }
    s.session->cancel(tag);
    s.session->produce(s.pending, s.deferred, kMostPending);
    s.writePending(s.deferred);
}

void H2Connection::ping() {
    Impl& s = *impl_;
    if (s.session == nullptr || s.phase != Phase::Ready || s.holding) {
        return;
    }
    s.session->ping();
    s.session->produce(s.pending, s.deferred, kMostPending);
    s.writePending(s.deferred);
}

PacketPlan& H2Connection::plan() {
    if (impl_->plan == nullptr) {
        impl_->plan = std::make_unique<PacketPlan>(freshPlan());
    }
    return *impl_->plan;
}

PacketPlan H2Connection::freshPlan() const {
    const Impl& s = *impl_;
    return s.session != nullptr ? s.session->packetPlan(s.packetRoom()) : PacketPlan(0, 4096, 0);
}

bool H2Connection::sentWhole(std::uint64_t tag) const {
    return impl_->session != nullptr && impl_->session->whole(tag);
}

bool H2Connection::wasReady() const {
    return impl_->session != nullptr && impl_->session->settingsReceived();
}

void H2Connection::abort(const Error& why, std::vector<Event>& out) {
    Impl& s = *impl_;
    std::move(s.deferred.begin(), s.deferred.end(), std::back_inserter(out));
    s.deferred.clear();
    if (s.session != nullptr) {
        s.session->lost(why, s.taken, out);
    }
    s.socket->close();
    s.pending.clear();
    if (s.phase == Phase::Opening || s.phase == Phase::Ready) {
        s.phase = Phase::Closed;
    }
}

}  // namespace vellicor::web
