#pragma once
// The run's own HTTP/1.1 connections with a script in place of the mall: the connection
// sender's rules on the stepping clock, with no socket. Each connection's script says whether
// it opens, what each write on it takes, how the mall answers each request it takes whole,
// and whether the mall closes it while it waits for the instant. The mall's side keeps what
// reached it whole, by connection.

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mall/primed.h"
#include "platform/codec.h"
#include "scripted_way.h"

namespace vellicor::mall::test {

// One write on a connection: the mall takes all of it, all but its last byte (the rest waits
// for the socket to drain), or the connection breaks under it.
enum class Takes { All, AllButLast, Breaks };

// What the mall does with a request it took whole: answers (after a while, or after a long
// one), answers and closes the connection (keep-alive false), never answers, or resets the
// connection without a word.
enum class Answers { Win, NotOpen, WinThenClose, SlowWin, Silent, Reset };

struct ConnScript {
    bool opens = true;
    std::vector<Takes> writes;     // by write on it; past the list, All
    std::vector<Answers> answers;  // by request taken whole on it; past the list, Win
    // The mall closes it while it is idle, this long before the instant.
    std::optional<std::chrono::milliseconds> closedAhead;
};

constexpr auto kAnswerAfter = std::chrono::milliseconds(20);
constexpr auto kSlowAnswerAfter = std::chrono::milliseconds(500);
constexpr int kConnFdBase = 5000;  // apart from the scripted ways' descriptors

// What the mall saw: for each connection that opened, when it took each request whole.
struct Wire {
    std::vector<std::vector<Clock::Steady>> taken;

    int whole() const {
        int n = 0;
        for (const auto& on : taken) {
            n += static_cast<int>(on.size());
        }
        return n;
    }
    std::vector<int> byConnection() const {
        std::vector<int> n;
        for (const auto& on : taken) {
            n.push_back(static_cast<int>(on.size()));
        }
        return n;
    }
};

inline std::string replyBytes(std::string_view utf8, bool close) {
    const std::string body = utf8ToGbk(utf8).value();
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=gbk\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + (close ? "Connection: close\r\n" : "") + "\r\n" +
           body;
}

// Whether the bytes hold a whole request: its head and as much body as it announced.
inline bool wholeRequest(const std::string& got) {
    const auto end = got.find("\r\n\r\n");
    if (end == std::string::npos) {
        return false;
    }
    std::size_t length = 0;
    constexpr std::string_view kLength = "Content-Length: ";
    if (const auto pos = got.find(kLength); pos != std::string::npos && pos < end) {
        length = std::stoul(got.substr(pos + kLength.size()));
    }
    return got.size() >= end + 4 + length;
}

class ScriptedConnections {
  public:
    using Io = PrimedConnections::Io;

    ScriptedConnections(const std::vector<ConnScript>& table, int wanted,
                        const SteppingClock& clock, Clock::Steady fireAt, Wire& wire)
        : clock_(clock), wire_(wire), wanted_(wanted) {
        for (int k = 0; k < wanted; ++k) {
            const auto n = static_cast<std::size_t>(k);
            const ConnScript script = n < table.size() ? table[n] : ConnScript{};
            if (!script.opens) {
                continue;
            }
            Conn c;
            c.script = script;
            if (script.closedAhead) {
                c.closesAt = fireAt - *script.closedAhead;
            }
            conns_.push_back(std::move(c));
        }
        wire_.taken.assign(conns_.size(), {});
    }

    int wanted() const { return wanted_; }
    int size() const { return static_cast<int>(conns_.size()); }
    int socket(int conn) const { return kConnFdBase + conn; }
    bool alive(int conn) const { return !at(conn).closed; }

    Io write(int conn, std::string_view bytes, std::size_t& written) {
        written = 0;
        Conn& c = at(conn);
        if (c.closed) {
            return Io::Closed;
        }
        const Takes takes = step(c.script.writes, c.writes++, Takes::All);
        if (gone(c) || takes == Takes::Breaks) {
            c.gone = c.closed = true;
            return Io::Closed;
        }
        written = takes == Takes::All ? bytes.size()
                                      : bytes.size() - std::min<std::size_t>(1, bytes.size());
        c.got.append(bytes.substr(0, written));
        if (wholeRequest(c.got)) {
            take(conn, c);
        }
        return written == bytes.size() ? Io::Done : Io::Again;
    }

    Io read(int conn, std::string& into) {
        Conn& c = at(conn);
        if (c.closed) {
            return Io::Closed;
        }
        if (gone(c)) {
            c.closed = true;
            return Io::Closed;
        }
        if (!c.due || clock_.peek() < *c.due) {
            return Io::Again;
        }
        c.due.reset();
        into += c.reply;
        if (c.closesAfter) {
            c.gone = c.closed = true;
            return Io::Closed;
        }
        return Io::Again;
    }

    bool stale(int conn) {
        const Conn& c = at(conn);
        return c.closed || gone(c);
    }
    void close(int conn) { at(conn).closed = true; }

    std::vector<std::size_t> readableIdle(std::span<const int> conns) const {
        std::vector<std::size_t> readable;
        for (std::size_t k = 0; k < conns.size(); ++k) {
            const Conn& c = at(conns[k]);
            if (!c.closed && gone(c)) {
                readable.push_back(k);
            }
        }
        return readable;
    }

    // What the poller reports for one of these connections' descriptors now.
    short ready(const PollEntry& entry) const {
        const Conn& c = at(entry.fd - kConnFdBase);
        if (c.closed) {
            return 0;
        }
        short revents = static_cast<short>(entry.events & PollEntry::Out);
        if ((entry.events & PollEntry::In) != 0 &&
            (gone(c) || (c.due && clock_.peek() >= *c.due))) {
            revents = static_cast<short>(revents | PollEntry::In);
        }
        return revents;
    }
    std::optional<Clock::Steady> due(int fd) const {
        const Conn& c = at(fd - kConnFdBase);
        return c.closed ? std::nullopt : c.due;
    }
    bool owns(int fd) const { return fd >= kConnFdBase && fd < kConnFdBase + size(); }

  private:
    struct Conn {
        ConnScript script;
        std::string got;  // of the request on it, what the mall has so far
        int writes = 0;
        int requests = 0;
        std::optional<Clock::Steady> closesAt;
        std::optional<Clock::Steady> due;  // when the mall's answer (or its reset) comes
        std::string reply;                 // empty: the mall resets the connection instead
        bool closesAfter = false;
        bool gone = false;    // the mall closed or reset it
        bool closed = false;  // closed on this side
    };

    template <typename T>
    static T step(const std::vector<T>& steps, int k, T past) {
        const auto n = static_cast<std::size_t>(k);
        return n < steps.size() ? steps[n] : past;
    }
    Conn& at(int conn) { return conns_.at(static_cast<std::size_t>(conn)); }
    const Conn& at(int conn) const { return conns_.at(static_cast<std::size_t>(conn)); }
    bool gone(const Conn& c) const {
        return c.gone || (c.closesAt && clock_.peek() >= *c.closesAt);
    }

    void take(int conn, Conn& c) {
        const auto now = clock_.peek();
        wire_.taken[static_cast<std::size_t>(conn)].push_back(now);
        c.got.clear();
        const Answers answer = step(c.script.answers, c.requests++, Answers::Win);
        c.closesAfter = answer == Answers::WinThenClose || answer == Answers::Reset;
        c.reply.clear();
        c.due = now + (answer == Answers::SlowWin ? kSlowAnswerAfter : kAnswerAfter);
        switch (answer) {
            case Answers::Win:
            case Answers::SlowWin:
            case Answers::WinThenClose:
                c.reply = replyBytes("差一点点就中奖了", c.closesAfter);
                break;
            case Answers::NotOpen:
                c.reply = replyBytes("点开始兑换，请稍后再来", false);
                break;
            case Answers::Silent:
                c.due.reset();
                break;
            case Answers::Reset:
                break;
        }
    }

    const SteppingClock& clock_;
    Wire& wire_;
    int wanted_ = 0;
    std::vector<Conn> conns_;
};

// The mall behind the connections: their scripts, what reached it, and the connections of the
// run under way (the poller looks at them).
struct ScriptedMall {
    std::vector<ConnScript> table;
    Wire wire;
    Clock::Steady fireAt{};
    ScriptedConnections* live = nullptr;

    std::unique_ptr<ScriptedConnections> open(const PrimedConnections::Request& request,
                                              const SteppingClock& clock) {
        auto made =
            std::make_unique<ScriptedConnections>(table, request.connections, clock, fireAt, wire);
        live = made.get();
        return made;
    }
};

// Waits as the network would: until the first connection the script makes ready, the loop's
// time-out, or a set moment (where a test acts). The scripted ways' entries come back ready,
// as ScriptedPoller gives them. A run still going a minute past its instant has a sender
// that forgot a worker: the wait fails, and the run ends saying so.
class MallPoller final : public Poller {
  public:
    MallPoller(SteppingClock& clock, ScriptedMall& mall) : clock_(clock), mall_(mall) {}

    std::optional<Clock::Steady> actAt;
    std::function<void()> act;

    Status wait(std::span<PollEntry> polled, int timeoutMs) override {
        const auto now = clock_.peek();
        if (now > mall_.fireAt + std::chrono::minutes(1)) {
            return makeError(ErrorCode::Internal, "the run never ended: a worker was forgotten");
        }
        auto until = now + std::chrono::milliseconds(timeoutMs);
        bool readyNow = false;
        for (const auto& e : polled) {
            if (mine(e)) {
                readyNow = readyNow || mall_.live->ready(e) != 0;
                if (const auto due = mall_.live->due(e.fd)) {
                    until = std::min(until, *due);
                }
            }
        }
        const bool acts = actAt && act && *actAt <= until;
        if (!readyNow) {
            clock_.advance(std::max(now, acts ? *actAt : until) - now);
        }
        if (acts && clock_.peek() >= *actAt) {
            actAt.reset();
            act();
        }
        for (auto& e : polled) {
            e.revents = mine(e) ? mall_.live->ready(e) : e.events;
        }
        return Ok{};
    }
    void wake() override {}

  private:
    bool mine(const PollEntry& e) const { return mall_.live != nullptr && mall_.live->owns(e.fd); }

    SteppingClock& clock_;
    ScriptedMall& mall_;
};

}  // namespace vellicor::mall::test
