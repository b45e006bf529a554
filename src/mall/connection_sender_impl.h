#pragma once
// The connection sender's rules, for every connections type it is instantiated for (see
// connection_sender.h): the run's own in connection_sender.cpp, scripted ones in the tests.

#include <algorithm>
#include <utility>

#include "mall/connection_sender.h"
#include "mall/preopen.h"

namespace vellicor::mall {

template <typename C>
BasicConnectionSender<C>::BasicConnectionSender(const WayContext& context, Opener open)
    : c_(context), open_(std::move(open)), own_(c_.ledger.size()) {}

// For a timed run only request bytes are left to write at the instant; a run of now goes
// as soon as its connections are open.
template <typename C>
Result<WayLife::Primed> BasicConnectionSender<C>::prime(const Priming& priming) {
    PrimedConnections::Request request;
    request.base = c_.config.mall;
    request.connections = priming.connections;
    request.http = c_.http();
    request.proxy = routeOf(c_);
    request.configure = [this](CURL* easy) { c_.host.apply(easy); };
    request.stopped = [this] { return c_.ledger.cancelled(); };
    request.deadline = priming.deadline;
    request.settle = !priming.timed;
    conns_ = open_(request, c_.clock);
    const int opened = conns_->size();
    c_.log("HTTP/1.1，" + (priming.timed ? preopenLine(PreopenReport{conns_->wanted(), opened,
                                                                     conns_->wanted() - opened})
                                         : std::to_string(opened) + " 个连接\r\n"));
    assignConnections(priming.connections);
    if (priming.timed && c_.config.timer.lastByteSync) {
        writeAllButLastByte();
    }
    for (std::size_t i = 0; i < own_.size(); ++i) {
        if (own_[i].conn >= 0) {
            own_[i].reader = newReader(i);
        }
    }
    return Primed::Ready;
}

// Workers past the cap wait for a connection to come free; those within it whose connection
// did not open go the next sender's way.
template <typename C>
void BasicConnectionSender<C>::assignConnections(int cap) {
    int next = 0;
    int counted = 0;
    for (std::size_t i = 0; i < own_.size(); ++i) {
        if (c_.ledger.ended(i) || !c_.ours(i)) {
            continue;
        }
        if (counted++ >= cap) {
            if (conns_->size() > 0) {
                queue(i);
            }
        } else if (next < conns_->size()) {
            own_[i].conn = next++;
            own_[i].out = c_.ledger.request(i).bytes;
        }
    }
}

template <typename C>
void BasicConnectionSender<C>::writeAllButLastByte() {
    for (std::size_t i = 0; i < own_.size(); ++i) {
        Own& o = own_[i];
        if (o.conn < 0 || o.out.size() < 2) {
            continue;
        }
        std::size_t written = 0;
        const std::string_view head(o.out.data(), o.out.size() - 1);
        const auto io = conns_->write(o.conn, head, written);
        o.out.erase(0, written);
        if (io == Io::Closed) {
            o.conn = -1;
            dropHead(i);
        }
    }
}

// A connection the mall closed while idle: its request goes out on a fresh one instead.
template <typename C>
void BasicConnectionSender<C>::dropStaleConnections() {
    polledWorker_.clear();
    std::vector<int> held;
    for (std::size_t i = 0; i < own_.size(); ++i) {
        if (own_[i].conn >= 0) {
            held.push_back(own_[i].conn);
            polledWorker_.push_back(i);
        }
    }
    for (const std::size_t k : conns_->readableIdle(held)) {
        const std::size_t index = polledWorker_[k];
        Own& o = own_[index];
        if (conns_->stale(o.conn)) {
            conns_->close(o.conn);
            o.conn = -1;
            dropHead(index);
        }
    }
}

// A head written ahead went with its connection: the mall never had that request whole,
// and it goes out at the instant on another.
template <typename C>
void BasicConnectionSender<C>::dropHead(std::size_t index) {
    Own& o = own_[index];
    if (!o.out.empty() && o.out.size() < c_.ledger.request(index).bytes.size()) {
        c_.ledger.unsent();
    }
    o.out.clear();
}

// Each is a single write: everything else about the request was made ready before the instant.
template <typename C>
void BasicConnectionSender<C>::fire(Clock::Steady now) {
    for (std::size_t i = 0; i < own_.size() && !c_.ledger.cancelled(); ++i) {
        if (!c_.ledger.ended(i) && own_[i].conn >= 0) {
            sendOnConnection(i, now);
        }
    }
}

template <typename C>
bool BasicConnectionSender<C>::holds(std::size_t index) const {
    return own_[index].conn >= 0 || own_[index].queued;
}

template <typename C>
bool BasicConnectionSender<C>::send(std::size_t index) {
    if (!c_.ours(index)) {
        return false;
    }
    Own& o = own_[index];
    if (o.conn < 0) {
        o.conn = takeFreeConnection();
        if (o.conn < 0 && o.lent && anyConnectionAlive()) {
            queue(index);  // waits for a connection as it did before it lent its own
            return true;
        }
    }
    if (o.conn >= 0 && conns_->alive(o.conn) && !conns_->stale(o.conn)) {
        sendOnConnection(index, c_.clock.steadyNow());
        return true;
    }
    if (o.conn >= 0) {
        conns_->close(o.conn);
        o.out.clear();
    }
    o.conn = -1;
    return false;
}

template <typename C>
void BasicConnectionSender<C>::queue(std::size_t index) {
    own_[index].queued = true;
    queued_.push_back(index);
}

template <typename C>
std::size_t BasicConnectionSender<C>::unqueue() {
    const std::size_t index = queued_.front();
    queued_.pop_front();
    own_[index].queued = false;
    return index;
}

// The request counts as sent once its last byte is written (see flush()).
template <typename C>
void BasicConnectionSender<C>::sendOnConnection(std::size_t index, Clock::Steady now) {
    Own& o = own_[index];
    c_.ledger.began(index);
    if (o.out.empty()) {
        o.out = c_.ledger.request(index).bytes;
    }
    if (!o.reader) {
        o.reader = newReader(index);
    }
    o.deadline = now + milliseconds(c_.http().totalTimeoutMs);
    o.onConn = true;
    ++onConn_;
    flush(index);
}

// Writes what is left of the request. A connection that fails before the last byte is
// written never gave the mall the request: it goes out again, as if that connection had
// never been there.
template <typename C>
void BasicConnectionSender<C>::flush(std::size_t index) {
    Own& o = own_[index];
    std::size_t written = 0;
    const auto io = conns_->write(o.conn, o.out, written);
    o.out.erase(0, written);
    if (io == Io::Closed) {
        goAgain(index);
    } else if (o.out.empty()) {
        c_.ledger.sent();
    }
}

template <typename C>
void BasicConnectionSender<C>::goAgain(std::size_t index) {
    c_.ledger.unsent();
    connectionEnded(index);
    c_.ledger.withdrawn(index);
    c_.sink.send(index);
}

// The worker's connection is closed or no longer to be used.
template <typename C>
void BasicConnectionSender<C>::connectionEnded(std::size_t index) {
    Own& o = own_[index];
    if (o.onConn) {
        o.onConn = false;
        --onConn_;
    }
    if (o.conn >= 0) {
        conns_->close(o.conn);
        o.conn = -1;
    }
    o.out.clear();
    flushQueueIfNoConnections();
}

template <typename C>
int BasicConnectionSender<C>::takeFreeConnection() {
    while (!freeConns_.empty()) {
        const int conn = freeConns_.back();
        freeConns_.pop_back();
        if (conns_->alive(conn)) {
            return conn;
        }
    }
    return -1;
}

template <typename C>
bool BasicConnectionSender<C>::anyConnectionAlive() const {
    const auto owned = [](const Own& o) { return o.conn >= 0; };
    const auto open = [this](int conn) { return conns_->alive(conn); };
    return std::any_of(own_.begin(), own_.end(), owned) ||
           std::any_of(freeConns_.begin(), freeConns_.end(), open);
}

template <typename C>
void BasicConnectionSender<C>::flushQueueIfNoConnections() {
    if (queued_.empty() || anyConnectionAlive()) {
        return;  // a connection may still come free
    }
    while (!queued_.empty()) {
        const std::size_t index = unqueue();
        if (!c_.ledger.ended(index) && !c_.ledger.cancelled()) {
            c_.sink.send(index);
        }
    }
}

// A worker is done with its connection for now or for good: the next one waiting takes it.
template <typename C>
void BasicConnectionSender<C>::handOn(int conn) {
    if (!conns_->alive(conn) || c_.ledger.cancelled()) {
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
    own_[next].conn = conn;
    sendOnConnection(next, c_.clock.steadyNow());
}

// A request written whole that got no answer in time may have been acted on: unknown, and
// never again. One whose last byte never left did not reach the mall.
template <typename C>
void BasicConnectionSender<C>::expire(Clock::Steady now) {
    for (std::size_t i = 0; i < own_.size(); ++i) {
        Own& o = own_[i];
        if (o.onConn && now >= o.deadline) {
            const Error late = o.reader->timedOut();
            const bool whole = o.out.empty();
            o.reader.reset();
            connectionEnded(i);
            if (whole) {
                c_.sink.report(i, lostAfterSend(late));
            } else {
                c_.ledger.unsent();
                c_.sink.onEnd(i, late);
            }
        }
    }
}

template <typename C>
Clock::Steady BasicConnectionSender<C>::nextDeadline(Clock::Steady next) const {
    for (const Own& o : own_) {
        if (o.onConn) {
            next = std::min(next, o.deadline);
        }
    }
    return next;
}

template <typename C>
void BasicConnectionSender<C>::addPolled(std::vector<PollEntry>& polled) {
    polledWorker_.clear();
    for (std::size_t i = 0; i < own_.size(); ++i) {
        const Own& o = own_[i];
        if (o.onConn) {
            const short events =
                static_cast<short>(PollEntry::In | (o.out.empty() ? 0 : PollEntry::Out));
            polled.push_back({conns_->socket(o.conn), events, 0});
            polledWorker_.push_back(i);
        }
    }
}

template <typename C>
void BasicConnectionSender<C>::service(std::span<const PollEntry> polled) {
    for (std::size_t k = 0; k < polledWorker_.size() && k < polled.size(); ++k) {
        if (polled[k].revents != 0) {
            serviceOne(polledWorker_[k], polled[k].revents);
        }
    }
}

template <typename C>
void BasicConnectionSender<C>::serviceOne(std::size_t index, short revents) {
    Own& o = own_[index];
    if (!o.onConn) {
        return;
    }
    if ((revents & PollEntry::Out) != 0 && !o.out.empty()) {
        flush(index);
    }
    if (o.onConn && (revents & PollEntry::In) != 0) {
        readReply(index);
    }
}

template <typename C>
void BasicConnectionSender<C>::readReply(std::size_t index) {
    Own& o = own_[index];
    std::string bytes;
    const auto io = conns_->read(o.conn, bytes);
    auto state = o.reader->feed(bytes);
    if (io == Io::Closed) {
        state = o.reader->end();
    }
    if (state == web::ReplyReader::State::More) {
        return;
    }
    const bool keep =
        state == web::ReplyReader::State::Done && o.reader->keepAlive() && io != Io::Closed;
    const bool silent = !o.reader->gotBytes();
    const bool whole = o.out.empty();
    auto reply = o.reader->take();
    o.reader.reset();
    if (silent && !whole) {
        goAgain(index);
        return;
    }
    if (!keep) {
        connectionEnded(index);
    } else {
        o.onConn = false;
        --onConn_;
    }
    if (silent && !reply) {
        // Taken whole, then the connection was lost without a word: the mall may have acted
        // on it, so it never goes again.
        c_.sink.report(index, lostAfterSend(reply.error()));
        return;
    }
    c_.sink.onEnd(index, std::move(reply));
}

// A worker waiting to ask again does not keep a connection from one waiting for its first turn.
template <typename C>
void BasicConnectionSender<C>::lendConnection(std::size_t index) {
    Own& o = own_[index];
    if (o.conn >= 0 && !queued_.empty()) {
        o.lent = true;
        handOn(std::exchange(o.conn, -1));
    }
}

template <typename C>
void BasicConnectionSender<C>::release(std::size_t index) {
    if (const int conn = std::exchange(own_[index].conn, -1); conn >= 0) {
        handOn(conn);
    }
}

template <typename C>
std::optional<bool> BasicConnectionSender<C>::mayHaveArrived(std::size_t index) const {
    const Own& o = own_[index];
    if (o.onConn) {
        return o.out.empty();  // a request short of its last byte never reached the mall
    }
    return o.conn >= 0 ? std::optional<bool>(false) : std::nullopt;
}

template <typename C>
void BasicConnectionSender<C>::stop() {
    queued_.clear();
    onConn_ = 0;
}

template <typename C>
std::unique_ptr<web::ReplyReader> BasicConnectionSender<C>::newReader(std::size_t index) const {
    return std::make_unique<web::ReplyReader>(c_.ledger.request(index).page.url, c_.http());
}

}  // namespace vellicor::mall
