#include "mall/engine.h"

#include <poll.h>

#include <algorithm>

#include "mall/preopen.h"

namespace vellicor::mall {

// Through a proxy the request would be written for the proxy: that one goes by libcurl.
bool Engine::mayPrime() const {
    const auto address = web::splitAddress(s_.config.mall);
    const bool proxied = !http().proxy.empty() && address && !address->secure;
    return address && !proxied && s_.config.timer.preopenLeadMs > 0 && unended_ > 0 &&
           std::none_of(requests_.begin(), requests_.end(),
                        [](const std::string& r) { return r.empty(); });
}

// Opens the run's own connections: for a timed run the lead time before the instant, so
// that at the instant only request bytes are written; for a run of now, at once. False
// leaves the run to libcurl's own connections.
bool Engine::prime() {
    if (!mayPrime()) {
        return false;
    }
    const auto stopped = [this] { return cancelled(); };
    PrimedLines::Request request;
    request.base = s_.config.mall;
    request.connections = connectionCap();
    request.http = http();
    request.configure = [this](CURL* easy) { host_.apply(easy); };
    request.stopped = stopped;
    if (s_.options.fireAt) {
        if (!waitBefore(milliseconds(s_.config.timer.preopenLeadMs))) {
            return true;  // cancelled: every worker ends with a cancelled line
        }
        request.deadline = fireAt() - kLateConnect;
    } else {
        request.deadline = clock().steadyNow() + milliseconds(http().connectTimeoutMs);
        request.settle = true;
    }
    if (primeWave(request.deadline)) {
        return true;
    }
    lines_ = PrimedLines::open(request, clock());
    const int opened = lines_->size();
    s_.log("HTTP/1.1，" + (s_.options.fireAt ? preopenLine(PreopenReport{lines_->wanted(), opened,
                                                                         lines_->wanted() - opened})
                                             : std::to_string(opened) + " 个连接\r\n"));
    assignLines();
    if (s_.options.fireAt && s_.config.timer.lastByteSync) {
        writeAllButLastByte();
    }
    for (Worker& w : workers_) {
        if (w.line >= 0) {
            w.reader = std::make_unique<web::ReplyReader>(urls_[w.item], http());
        }
    }
    return true;
}

// Workers past the cap wait for a line to come free; those within it whose connection
// did not open go on fresh connections of libcurl's.
void Engine::assignLines() {
    const int cap = connectionCap();
    int next = 0;
    int counted = 0;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        Worker& w = workers_[i];
        if (w.ended) {
            continue;
        }
        if (counted++ >= cap) {
            if (lines_->size() > 0) {
                queue(i);
            }
        } else if (next < lines_->size()) {
            w.line = next++;
            w.out = requests_[w.item];
        }
    }
}

void Engine::writeAllButLastByte() {
    for (Worker& w : workers_) {
        if (w.line < 0 || w.out.size() < 2) {
            continue;
        }
        std::size_t written = 0;
        const std::string_view head(w.out.data(), w.out.size() - 1);
        if (lines_->write(w.line, head, written) == PrimedLines::Io::Closed) {
            w.line = -1;
            w.out.clear();
        } else {
            w.out.erase(0, written);
        }
    }
}

// A connection the mall closed while idle: its request goes out on a fresh one instead.
void Engine::dropGoneLines() {
    polledWorker_.clear();
    std::vector<pollfd> fds;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        if (workers_[i].line >= 0) {
            fds.push_back({lines_->socket(workers_[i].line), POLLIN, 0});
            polledWorker_.push_back(i);
        }
    }
    if (::poll(fds.data(), fds.size(), 0) <= 0) {
        return;
    }
    for (std::size_t k = 0; k < fds.size(); ++k) {
        Worker& w = workers_[polledWorker_[k]];
        if (fds[k].revents != 0 && lines_->stale(w.line)) {
            lines_->close(w.line);
            w.line = -1;
            w.out.clear();  // a head written ahead went with the connection
        }
    }
}

void Engine::queue(std::size_t index) {
    workers_[index].queued = true;
    queued_.push_back(index);
}

std::size_t Engine::unqueue() {
    const std::size_t index = queued_.front();
    queued_.pop_front();
    workers_[index].queued = false;
    return index;
}

void Engine::sendOnLine(std::size_t index, Clock::Steady now) {
    Worker& w = workers_[index];
    ++w.attempts;
    ++sends_;
    if (w.out.empty()) {
        w.out = requests_[w.item];
    }
    if (!w.reader) {
        w.reader = std::make_unique<web::ReplyReader>(urls_[w.item], http());
    }
    w.deadline = now + milliseconds(http().totalTimeoutMs);
    w.onLine = true;
    ++onLine_;
    flush(index);
}

// Writes what is left of the request; a connection found dead takes nothing of it, so
// the request goes out on a fresh connection as if the line had never been there.
void Engine::flush(std::size_t index) {
    Worker& w = workers_[index];
    std::size_t written = 0;
    const auto io = lines_->write(w.line, w.out, written);
    w.out.erase(0, written);
    if (io == PrimedLines::Io::Closed) {
        lineEnded(index);
        --w.attempts;
        --sends_;
        send(index);
    }
}

// The worker's line is closed or no longer to be used.
void Engine::lineEnded(std::size_t index) {
    Worker& w = workers_[index];
    if (w.onLine) {
        w.onLine = false;
        --onLine_;
    }
    if (w.line >= 0) {
        lines_->close(w.line);
        w.line = -1;
    }
    w.out.clear();
    flushQueueIfNoLines();
}

int Engine::takeFreeLine() {
    while (!freeLines_.empty()) {
        const int line = freeLines_.back();
        freeLines_.pop_back();
        if (lines_->alive(line)) {
            return line;
        }
    }
    return -1;
}

bool Engine::anyLineAlive() const {
    const auto owned = [](const Worker& w) { return w.line >= 0; };
    const auto open = [this](int line) { return lines_->alive(line); };
    return std::any_of(workers_.begin(), workers_.end(), owned) ||
           std::any_of(freeLines_.begin(), freeLines_.end(), open);
}

void Engine::flushQueueIfNoLines() {
    if (queued_.empty() || anyLineAlive()) {
        return;  // a line may still come free
    }
    while (!queued_.empty()) {
        const std::size_t index = unqueue();
        if (!workers_[index].ended && !cancelled()) {
            send(index);
        }
    }
}

// A worker is done with its line for now or for good: the next one waiting takes it.
void Engine::handOn(int line) {
    if (!lines_->alive(line) || cancelled()) {
        return;
    }
    if (lines_->stale(line)) {
        lines_->close(line);
        flushQueueIfNoLines();
        return;
    }
    if (queued_.empty()) {
        freeLines_.push_back(line);
        return;
    }
    const std::size_t next = unqueue();
    workers_[next].line = line;
    sendOnLine(next);
}

void Engine::service(std::size_t index, short revents) {
    Worker& w = workers_[index];
    if (!w.onLine) {
        return;
    }
    if ((revents & CURL_WAIT_POLLOUT) != 0 && !w.out.empty()) {
        flush(index);
    }
    if (w.onLine && (revents & CURL_WAIT_POLLIN) != 0) {
        readLine(index);
    }
}

void Engine::readLine(std::size_t index) {
    Worker& w = workers_[index];
    std::string bytes;
    const auto io = lines_->read(w.line, bytes);
    auto state = w.reader->feed(bytes);
    if (io == PrimedLines::Io::Closed) {
        state = w.reader->end();
    }
    if (state == web::ReplyReader::State::More) {
        return;
    }
    const bool keep = state == web::ReplyReader::State::Done && w.reader->keepAlive() &&
                      io != PrimedLines::Io::Closed;
    const bool silent = !w.reader->gotBytes() && !w.resent;
    auto reply = w.reader->take();
    w.reader.reset();
    if (!keep) {
        lineEnded(index);
    } else {
        w.onLine = false;
        --onLine_;
    }
    if (silent && !reply) {
        resend(index);
        return;
    }
    onEnd(index, std::move(reply));
}

// A kept connection the mall closed as the request came in, before a byte of answer: as
// libcurl does with its pooled connections, the request goes once more on a fresh one.
void Engine::resend(std::size_t index) {
    Worker& w = workers_[index];
    w.resent = true;
    --w.attempts;
    send(index);
}

// A worker waiting to ask again does not keep a line from one waiting for its first turn.
void Engine::lendLine(Worker& w) {
    if (w.line >= 0 && !queued_.empty()) {
        w.lent = true;
        handOn(std::exchange(w.line, -1));
    }
}

}  // namespace vellicor::mall
