#include "mall/engine.h"

namespace vellicor::mall {

bool Engine::wantWave() const {
    return firstWay(s_.config, wayFacts()) == SendWay::Wave;
}

// True when the run's fate is settled by the wave: streams made ready, or every worker
// told why not, or the run left to libcurl's own connections.
bool Engine::primeWave(Clock::Steady deadline) {
    if (!wantWave()) {
        return false;
    }
    H2Wave::Request request;
    request.address = web::splitAddress(s_.config.mall).value();
    request.numeric = host_.addresses();
    request.http = http();
    request.streams = static_cast<int>(unended_);
    request.maxConnections = std::max(1, s_.config.exchange.maxConnectionsPerHost);
    request.requireHttp2 = http().version == HttpVersion::Http2;
    request.deadline = deadline;
    request.stopped = [this] { return cancelled(); };
    wave_ = H2Wave::open(request, clock());
    switch (wave_->outcome()) {
        case H2Wave::Outcome::Http2:
            s_.log(wave_->protocolLine());
            prepareStreams();
            return true;
        case H2Wave::Outcome::Http1:
            wave_.reset();
            return false;
        case H2Wave::Outcome::Unusable:
            failAll(wave_->error());
            break;
        case H2Wave::Outcome::Unreachable:
            if (request.requireHttp2) {
                failAll(wave_->error());
                break;
            }
            // The HTTP/1.1 connections below meet the same mall: where it cannot be
            // reached at all, each worker says so on its own.
            s_.log("未能建立 HTTP/2 连接（" + wave_->error().message + "），改用 HTTP/1.1\r\n");
            wave_.reset();
            return false;
    }
    wave_.reset();
    return true;
}

void Engine::prepareStreams() {
    const bool holdEnd = s_.options.fireAt && s_.config.timer.lastByteSync;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        Worker& w = workers_[i];
        if (!w.ended) {
            w.onWave = true;
            wave_->prepare(i, h2Requests_[w.item], holdEnd);
        }
    }
    wave_->stage(holdEnd);
}

void Engine::startStreams(Clock::Steady now) {
    for (Worker& w : workers_) {
        if (w.onWave && !w.ended) {
            startStream(w, now);
        }
    }
}

void Engine::startStream(Worker& w, Clock::Steady now) {
    ++w.attempts;
    ++sends_;
    w.onStream = true;
    w.deadline = now + milliseconds(http().totalTimeoutMs);
}

// A stream the mall refused unprocessed goes again as a new one; a few refusals in a row
// for the same worker end it with the mall's reason.
void Engine::streamEnded(H2Wave::Event event) {
    constexpr int kMostRefusals = 3;
    const auto index = static_cast<std::size_t>(event.tag);
    Worker& w = workers_[index];
    if (w.ended || !w.onStream) {
        return;
    }
    w.onStream = false;
    if (event.kind == H2Wave::Event::Kind::Refused && ++w.refusals <= kMostRefusals) {
        --w.attempts;
        --sends_;
        send(index);
        return;
    }
    onEnd(index, std::move(event.reply));
}

Error Engine::streamTimedOut() const {
    const auto address = web::splitAddress(s_.config.mall);
    const std::string where =
        address ? address->host + ":" + std::to_string(address->port) : s_.config.mall;
    return makeError(ErrorCode::Timeout, "timed out (" + where + ")");
}

}  // namespace vellicor::mall
