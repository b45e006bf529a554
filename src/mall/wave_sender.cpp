#include "mall/wave_sender.h"

#include <algorithm>

namespace vellicor::mall {

WaveSender::WaveSender(const WayContext& context) : c_(context), streams_(c_.ledger.size()) {}

// Ready when the streams are made ready. The mall's answer may also settle the run's fate
// without the wave: an error ends every worker, a decline leaves it to HTTP/1.1.
Result<WayLife::Primed> WaveSender::prime(const Priming& priming) {
    H2Wave::Request request;
    request.address = web::splitAddress(c_.config.mall).value();
    request.numeric = c_.host.addresses();
    request.http = c_.http();
    request.proxy = routeOf(c_);
    request.streams = priming.streams;
    request.holdEnd = c_.timed && c_.config.timer.lastByteSync;
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (!c_.ledger.ended(i) && c_.ours(i)) {
            request.requests.push_back(&c_.ledger.request(i).h2);
        }
    }
    request.maxConnections = std::max(1, c_.config.exchange.maxConnectionsPerHost);
    request.requireHttp2 = c_.http().version == HttpVersion::Http2;
    request.deadline = priming.deadline;
    request.stopped = [this] { return c_.ledger.cancelled(); };
    wave_ = H2Wave::open(request, c_.clock);
    switch (wave_->outcome()) {
        case H2Wave::Outcome::Http2:
            prepareStreams();
            c_.log(wave_->protocolLine());
            return Primed::Ready;
        case H2Wave::Outcome::Http1:
            wave_.reset();
            return Primed::Declined;
        case H2Wave::Outcome::Unusable:
            return wave_->error();
        case H2Wave::Outcome::Unreachable:
            if (request.requireHttp2) {
                return wave_->error();
            }
            // The HTTP/1.1 connections meet the same mall: where it cannot be reached at
            // all, each worker says so on its own.
            c_.log("未能建立 HTTP/2 连接（" + wave_->error().message + "），改用 HTTP/1.1\r\n");
            wave_.reset();
            return Primed::Declined;
    }
    return Primed::Declined;
}

void WaveSender::prepareStreams() {
    const bool holdEnd = c_.timed && c_.config.timer.lastByteSync;
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (!c_.ledger.ended(i) && c_.ours(i)) {
            streams_[i].onWave = true;
            wave_->prepare(i, c_.ledger.request(i).h2, holdEnd);
        }
    }
    wave_->stage(holdEnd);
}

// Dead connections give way to fresh ones before the instant, their streams with them.
void WaveSender::dropStaleConnections() {
    if (wave_) {
        wave_->look();
    }
}

void WaveSender::fire(Clock::Steady now) {
    if (!wave_) {
        return;
    }
    wave_->fire();
    c_.ledger.unsent(wave_->lostAhead());
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (streams_[i].onWave && !c_.ledger.ended(i)) {
            startStream(i, now);
        }
    }
}

bool WaveSender::send(std::size_t index) {
    if (!streams_[index].onWave) {
        return false;
    }
    startStream(index, c_.clock.steadyNow());
    wave_->send(index, c_.ledger.request(index).h2);
    return true;
}

void WaveSender::startStream(std::size_t index, Clock::Steady now) {
    Stream& s = streams_[index];
    c_.ledger.began(index);
    s.onStream = true;
    s.deadline = now + milliseconds(c_.http().totalTimeoutMs);
}

// Each request counts once it ended: it left whole, or the mall never saw it.
void WaveSender::count(bool whole) {
    if (whole) {
        c_.ledger.sent();
    } else {
        c_.ledger.unsent();
    }
}

// Only a stream the mall provably never took goes again (refused, past a GOAWAY, or lost
// with its connection before its last byte left); a few in a row for the same worker end it
// with the reason. One whose last byte left and got no answer may have been acted on.
void WaveSender::streamEnded(H2Wave::Event event) {
    using Kind = H2Wave::Event::Kind;
    constexpr int kMostRefusals = 3;
    const auto index = static_cast<std::size_t>(event.tag);
    Stream& s = streams_[index];
    if (c_.ledger.ended(index) || !s.onStream) {
        return;
    }
    s.onStream = false;
    count(event.kind == Kind::Reply || (event.sent && event.kind != Kind::Refused));
    switch (event.kind) {
        case Kind::Refused:
            if (++s.refusals <= kMostRefusals) {
                c_.ledger.withdrawn(index);
                c_.sink.send(index);
                return;
            }
            break;
        case Kind::Lost:
            c_.sink.report(index, lostAfterSend(event.reply.error()));
            return;
        case Kind::Reply:
            s.refusals = 0;
            break;
        case Kind::Failed:
            break;
    }
    c_.sink.onEnd(index, std::move(event.reply));
}

// A stream out of time: one whose last byte left may still be acted on by the mall.
void WaveSender::expire(Clock::Steady now) {
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        Stream& s = streams_[i];
        if (s.onStream && now >= s.deadline) {
            const bool whole = wave_->written(i);
            wave_->cancel(i);
            s.onStream = false;
            count(whole);
            if (whole) {
                c_.sink.report(i, lostAfterSend(streamTimedOut()));
            } else {
                c_.sink.onEnd(i, streamTimedOut());
            }
        }
    }
}

Error WaveSender::streamTimedOut() const {
    const auto address = web::splitAddress(c_.config.mall);
    const std::string where =
        address ? address->host + ":" + std::to_string(address->port) : c_.config.mall;
    return makeError(ErrorCode::Timeout, "timed out (" + where + ")");
}

Clock::Steady WaveSender::nextDeadline(Clock::Steady next) const {
    for (const Stream& s : streams_) {
        if (s.onStream) {
            next = std::min(next, s.deadline);
        }
    }
    return wave_ ? wave_->nextDeadline(next) : next;
}

void WaveSender::addPolled(std::vector<PollEntry>& polled) {
    if (wave_) {
        wave_->addPolled(polled);
    }
}

void WaveSender::service(std::span<const PollEntry> polled) {
    if (!wave_) {
        return;
    }
    events_.clear();
    wave_->service(polled, events_);
    for (auto& event : events_) {
        streamEnded(std::move(event));
    }
}

std::optional<bool> WaveSender::mayHaveArrived(std::size_t index) const {
    if (!streams_[index].onWave) {
        return std::nullopt;
    }
    return streams_[index].onStream && wave_ && wave_->written(index);
}

// The run ends with streams under way: those whose last byte left were sent.
void WaveSender::stop() {
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (streams_[i].onStream && wave_ && wave_->written(i)) {
            c_.ledger.sent();
        }
    }
}

}  // namespace vellicor::mall
