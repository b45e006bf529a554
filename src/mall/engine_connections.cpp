#include "mall/engine.h"

#include <poll.h>

#include <algorithm>

#include "mall/preopen.h"

namespace vellicor::mall {

bool Engine::mayPrime() const {
    return firstWay(s_.config, wayFacts()) != SendWay::Transfers;
}

WayFacts Engine::wayFacts() const {
    const auto written = [](const std::string& r) { return !r.empty(); };
    const auto streamable = [](const web::H2Request& r) { return !r.path.empty(); };
    return WayFacts{unended_, std::all_of(requests_.begin(), requests_.end(), written),
                    std::all_of(h2Requests_.begin(), h2Requests_.end(), streamable)};
}

// Opens the run's own connections: for a timed run the lead time before the instant, so
// that at the instant only request bytes are written; for a run of now, at once. False
// leaves the run to libcurl's own connections.
bool Engine::prime() {
    if (!mayPrime()) {
        return false;
    }
    const auto stopped = [this] { return cancelled(); };
    PrimedConnections::Request request;
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
    conns_ = PrimedConnections::open(request, clock());
    const int opened = conns_->size();
    s_.log("HTTP/1.1，" + (s_.options.fireAt ? preopenLine(PreopenReport{conns_->wanted(), opened,
                                                                         conns_->wanted() - opened})
                                             : std::to_string(opened) + " 个连接\r\n"));
    assignConnections();
    if (s_.options.fireAt && s_.config.timer.lastByteSync) {
        writeAllButLastByte();
    }
    for (Worker& w : workers_) {
        if (w.conn >= 0) {
            w.reader = std::make_unique<web::ReplyReader>(urls_[w.item], http());
        }
    }
    return true;
}

// Workers past the cap wait for a connection to come free; those within it whose connection
// did not open go on fresh connections of libcurl's.
void Engine::assignConnections() {
    const int cap = connectionCap();
    int next = 0;
    int counted = 0;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        Worker& w = workers_[i];
        if (w.ended) {
            continue;
        }
        if (counted++ >= cap) {
            if (conns_->size() > 0) {
                queue(i);
            }
        } else if (next < conns_->size()) {
            w.conn = next++;
            w.out = requests_[w.item];
        }
    }
}

void Engine::writeAllButLastByte() {
    for (Worker& w : workers_) {
        if (w.conn < 0 || w.out.size() < 2) {
            continue;
        }
        std::size_t written = 0;
        const std::string_view head(w.out.data(), w.out.size() - 1);
        if (conns_->write(w.conn, head, written) == PrimedConnections::Io::Closed) {
            w.conn = -1;
            w.out.clear();
        } else {
            w.out.erase(0, written);
        }
    }
}

// A connection the mall closed while idle: its request goes out on a fresh one instead.
void Engine::dropStaleConnections() {
    polledWorker_.clear();
    std::vector<pollfd> fds;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        if (workers_[i].conn >= 0) {
            fds.push_back({conns_->socket(workers_[i].conn), POLLIN, 0});
            polledWorker_.push_back(i);
        }
    }
    if (::poll(fds.data(), fds.size(), 0) <= 0) {
        return;
    }
    for (std::size_t k = 0; k < fds.size(); ++k) {
        Worker& w = workers_[polledWorker_[k]];
        if (fds[k].revents != 0 && conns_->stale(w.conn)) {
            conns_->close(w.conn);
            w.conn = -1;
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

void Engine::sendOnConnection(std::size_t index, Clock::Steady now) {
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
    w.onConn = true;
    ++onConn_;
    flush(index);
}

// Writes what is left of the request; a connection found dead takes nothing of it, so
// the request goes out on a fresh connection as if that connection had never been there.
void Engine::flush(std::size_t index) {
    Worker& w = workers_[index];
    std::size_t written = 0;
    const auto io = conns_->write(w.conn, w.out, written);
    w.out.erase(0, written);
    if (io == PrimedConnections::Io::Closed) {
        connectionEnded(index);
        --w.attempts;
        --sends_;
        send(index);
    }
}

// The worker's connection is closed or no longer to be used.
void Engine::connectionEnded(std::size_t index) {
    Worker& w = workers_[index];
    if (w.onConn) {
        w.onConn = false;
        --onConn_;
    }
    if (w.conn >= 0) {
        conns_->close(w.conn);
        w.conn = -1;
    }
    w.out.clear();
    flushQueueIfNoConnections();
}

int Engine::takeFreeConnection() {
    while (!freeConns_.empty()) {
        const int conn = freeConns_.back();
        freeConns_.pop_back();
        if (conns_->alive(conn)) {
            return conn;
        }
    }
    return -1;
}

bool Engine::anyConnectionAlive() const {
    const auto owned = [](const Worker& w) { return w.conn >= 0; };
    const auto open = [this](int conn) { return conns_->alive(conn); };
    return std::any_of(workers_.begin(), workers_.end(), owned) ||
           std::any_of(freeConns_.begin(), freeConns_.end(), open);
}

void Engine::flushQueueIfNoConnections() {
    if (queued_.empty() || anyConnectionAlive()) {
        return;  // a connection may still come free
    }
    while (!queued_.empty()) {
        const std::size_t index = unqueue();
        if (!workers_[index].ended && !cancelled()) {
            send(index);
        }
    }
}

// A worker is done with its connection for now or for good: the next one waiting takes it.
void Engine::handOn(int conn) {
    if (!conns_->alive(conn) || cancelled()) {
        return;
    }
    if (conns_->stale(conn)) {
        conns_->close(conn);
        flushQueueIfNoConnections();
        return;
    }
    if (queued_.empty()) {
        freeConns_.push_back(conn);
        return;
    }
    const std::size_t next = unqueue();
    workers_[next].conn = conn;
    sendOnConnection(next);
}

void Engine::service(std::size_t index, short revents) {
    Worker& w = workers_[index];
    if (!w.onConn) {
        return;
    }
    if ((revents & CURL_WAIT_POLLOUT) != 0 && !w.out.empty()) {
        flush(index);
    }
    if (w.onConn && (revents & CURL_WAIT_POLLIN) != 0) {
        readReply(index);
    }
}

void Engine::readReply(std::size_t index) {
    Worker& w = workers_[index];
    std::string bytes;
    const auto io = conns_->read(w.conn, bytes);
    auto state = w.reader->feed(bytes);
    if (io == PrimedConnections::Io::Closed) {
        state = w.reader->end();
    }
    if (state == web::ReplyReader::State::More) {
        return;
    }
    const bool keep = state == web::ReplyReader::State::Done && w.reader->keepAlive() &&
                      io != PrimedConnections::Io::Closed;
    const bool silent = !w.reader->gotBytes() && !w.resent;
    auto reply = w.reader->take();
    w.reader.reset();
    if (!keep) {
        connectionEnded(index);
    } else {
        w.onConn = false;
        --onConn_;
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

// A worker waiting to ask again does not keep a connection from one waiting for its first turn.
void Engine::lendConnection(Worker& w) {
    if (w.conn >= 0 && !queued_.empty()) {
        w.lent = true;
        handOn(std::exchange(w.conn, -1));
    }
}

}  // namespace vellicor::mall
