#pragma once
// A run's course on a clock of its own and ways that answer from a script: no socket, no
// thread, no sleep. The clock moves only when the run sleeps or waits, so a run of thirty
// seconds of its time takes microseconds of ours, and every look at the clock costs a
// microsecond, so that a spin before the instant ends.

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mall/engine.h"
#include "mall/send_roles.h"
#include "platform/clock.h"
#include "platform/codec.h"

namespace vellicor::mall::test {

using namespace std::chrono_literals;

// Any thread may look and sleep: a timer's thread and a run's may share it.
class SteppingClock final : public Clock {
  public:
    WallTime wallNow() const override {
        return WallTime(std::chrono::duration_cast<WallTime::duration>(peek().time_since_epoch()));
    }
    Steady steadyNow() const override {
        std::lock_guard lock(mutex_);
        now_ += 1us;
        return now_;
    }
    int utcOffsetSeconds(WallTime) const override { return 8 * 3600; }
    void sleepUntil(Steady deadline) const override {
        if (onSleep) {
            onSleep(deadline);
        }
        std::lock_guard lock(mutex_);
        now_ = std::max(now_, deadline);
    }
    void sleepUntilOrStop(Steady deadline, std::stop_token) const override { sleepUntil(deadline); }
    void advance(std::chrono::nanoseconds by) {
        std::lock_guard lock(mutex_);
        now_ += by;
    }
    Steady peek() const {
        std::lock_guard lock(mutex_);
        return now_;
    }

    // Called on every sleep, before the time moves: where a test retimes or cancels.
    std::function<void(Steady deadline)> onSleep;

  private:
    mutable std::mutex mutex_;
    mutable Steady now_ = Steady(std::chrono::hours(1000));
};

// What the mall does with one request.
// Lost: no answer after the request left whole. Refused: the mall provably never took it.
// Fails: it never left. Silent: no answer until the request's time runs out.
// Win is a draw's answer (nothing won); Exchanged the pop-up of an item gained.
enum class Says { Win, Exchanged, NotOpen, Throttled, SoldOut, Lost, Refused, Fails, Silent };

// What happened, in order, as the ways saw it.
struct Journal {
    struct Sent {
        std::string way;
        std::size_t worker = 0;
        int attempt = 0;
        Clock::Steady at{};
        std::string cookies;  // the session the request carried
    };
    std::vector<std::string> primed;  // ways, in the order they were primed
    std::vector<Clock::Steady> primedAt;
    std::vector<Sent> sent;
    std::vector<std::size_t> paused;
    std::map<std::string, std::vector<int>> released;          // by way, then by worker
    std::vector<std::pair<std::string, Clock::Steady>> looks;  // at idle connections, by way
    int pollMismatches = 0;  // entries handed back to a way that were not its own

    int sendsOf(std::size_t worker) const {
        return static_cast<int>(std::count_if(
            sent.begin(), sent.end(), [worker](const Sent& s) { return s.worker == worker; }));
    }
    int sendsBy(const std::string& way) const {
        return static_cast<int>(std::count_if(sent.begin(), sent.end(),
                                              [&way](const Sent& s) { return s.way == way; }));
    }
};

struct WayScript {
    std::string name;
    Result<WayLife::Primed> primes = WayLife::Primed::Ready;
    // Takes workers ahead of the instant (up to `capacity`) and fires them itself; else it
    // takes every worker it is handed, as the fallback does.
    bool holdsAhead = false;
    std::size_t capacity = 1000000;
    std::function<void()> onPrime;
    std::function<void()> onFire;
};

inline WayScript wayNamed(std::string name, bool holdsAhead) {
    WayScript way;
    way.name = std::move(name);
    way.holdsAhead = holdsAhead;
    return way;
}

struct Script {
    std::map<std::size_t, std::vector<Says>> answers;  // by worker, in order; the last repeats
    Says otherwise = Says::Win;
    std::chrono::nanoseconds answerAfter = 20ms;
    std::optional<Error> pollFails;
    std::vector<WayScript> ways = {wayNamed("first", true), wayNamed("fallback", false)};

    Says answer(std::size_t worker, int attempt) const {
        const auto it = answers.find(worker);
        if (it == answers.end() || it->second.empty()) {
            return otherwise;
        }
        return it->second[std::min<std::size_t>(static_cast<std::size_t>(attempt),
                                                it->second.size() - 1)];
    }
};

inline web::Reply page(long status, std::string_view utf8) {
    web::Reply reply;
    reply.status = status;
    reply.body = utf8ToGbk(utf8).value();
    return reply;
}

class ScriptedWay final : public WayLife,
                          public Routing,
                          public HoldingAhead,
                          public WorkerKeeping,
                          public PollWork,
                          public IdleKeeping {
  public:
    ScriptedWay(const WayContext& c, const Script& script, const WayScript& way, Journal& journal)
        : c_(c),
          script_(script),
          way_(way),
          journal_(journal),
          held_(c.ledger.size(), false),
          flights_(c.ledger.size()),
          asked_(c.ledger.size(), 0) {}

    Result<Primed> prime(const Priming&) override {
        journal_.primed.push_back(way_.name);
        journal_.primedAt.push_back(c_.clock.steadyNow());
        if (way_.onPrime) {
            way_.onPrime();
        }
        if (way_.primes && *way_.primes == Primed::Ready && way_.holdsAhead) {
            std::size_t taken = 0;
            for (std::size_t i = 0; i < held_.size() && taken < way_.capacity; ++i) {
                if (!c_.ledger.ended(i)) {
                    held_[i] = true;
                    ++taken;
                }
            }
        }
        return way_.primes;
    }
    void fire(Clock::Steady now) override {
        for (std::size_t i = 0; i < held_.size() && !c_.ledger.cancelled(); ++i) {
            if (held_[i] && !c_.ledger.ended(i)) {
                start(i, now);
            }
        }
        if (way_.onFire) {
            way_.onFire();
        }
    }
    // As every way does: a request that left whole counts as sent, and is still known as
    // one that may have arrived.
    void stop() override {
        for (auto& f : flights_) {
            if (f && leftWhole(f->says)) {
                c_.ledger.sent();
            }
        }
        stopped_ = true;
    }

    bool send(std::size_t index) override {
        if (way_.holdsAhead && !held_[index]) {
            return false;
        }
        start(index, c_.clock.steadyNow());
        return true;
    }
    bool holds(std::size_t index) const override { return held_[index]; }
    void pause(std::size_t index) override { journal_.paused.push_back(index); }
    void release(std::size_t index) override {
        auto& released = journal_.released[way_.name];
        released.resize(c_.ledger.size());
        ++released[index];
        flights_[index].reset();
    }
    std::optional<bool> mayHaveArrived(std::size_t index) const override {
        if (way_.holdsAhead && !held_[index]) {
            return std::nullopt;
        }
        return flights_[index] && leftWhole(flights_[index]->says);
    }

    bool busy() const override {
        return !stopped_ &&
               std::any_of(flights_.begin(), flights_.end(), [](const auto& f) { return bool(f); });
    }
    void expire(Clock::Steady now) override {
        for (std::size_t i = 0; i < flights_.size(); ++i) {
            if (flights_[i] && flights_[i]->due <= now) {
                const Says says = flights_[i]->says;
                flights_[i].reset();
                end(i, says);
            }
        }
    }
    Clock::Steady nextDeadline(Clock::Steady next) const override {
        for (const auto& f : flights_) {
            if (f) {
                next = std::min(next, f->due);
            }
        }
        return next;
    }
    void addPolled(std::vector<PollEntry>& polled) override {
        polledFds_.clear();
        for (std::size_t i = 0; i < flights_.size(); ++i) {
            if (flights_[i]) {
                polled.push_back({fd(i), PollEntry::In, 0});
                polledFds_.push_back(fd(i));
            }
        }
    }
    void service(std::span<const PollEntry> polled) override {
        if (polled.size() != polledFds_.size() ||
            !std::equal(polled.begin(), polled.end(), polledFds_.begin(),
                        [](const PollEntry& e, int f) { return e.fd == f; })) {
            ++journal_.pollMismatches;
        }
    }

    void dropStaleConnections() override {
        journal_.looks.emplace_back(way_.name, c_.clock.steadyNow());
    }

  private:
    struct Flight {
        Says says = Says::Win;
        Clock::Steady due{};
    };
    static bool leftWhole(Says says) { return says != Says::Refused && says != Says::Fails; }
    int fd(std::size_t index) const {
        return static_cast<int>(index) + (way_.holdsAhead ? 1000 : 2000);
    }

    void start(std::size_t index, Clock::Steady now) {
        c_.ledger.began(index);
        journal_.sent.push_back({way_.name, index, c_.ledger.attempts(index), now,
                                 c_.ledger.request(index).page.cookies});
        const Says says = script_.answer(index, asked_[index]++);
        const auto after = says == Says::Silent
                               ? std::chrono::nanoseconds(milliseconds(c_.http().totalTimeoutMs))
                               : script_.answerAfter;
        flights_[index] = Flight{says, now + after};
    }

    void end(std::size_t index, Says says) {
        switch (says) {
            case Says::Win:
                c_.ledger.sent();
                return c_.sink.onEnd(index, page(200, "差一点点就中奖了"));
            case Says::Exchanged:
                c_.ledger.sent();
                return c_.sink.onEnd(
                    index,
                    page(200,
                         "<div class=\"popaitem c\"><p>已放入您的仓库</p><a>关闭窗口</a></div>"));
            case Says::NotOpen:
                c_.ledger.sent();
                return c_.sink.onEnd(index, page(200, "点开始兑换，请稍后再来"));
            case Says::Throttled:
                c_.ledger.sent();
                return c_.sink.onEnd(index, page(429, "busy"));
            case Says::SoldOut:
                c_.ledger.sent();
                return c_.sink.onEnd(index, page(200, "该商品今日已被兑换完"));
            case Says::Lost:
                c_.ledger.sent();
                return c_.sink.report(index,
                                      lostAfterSend(makeError(ErrorCode::Transfer, "reset")));
            case Says::Refused:
                c_.ledger.unsent();
                c_.ledger.withdrawn(index);
                return c_.sink.send(index);
            case Says::Fails:
                c_.ledger.unsent();
                return c_.sink.onEnd(index, makeError(ErrorCode::Connect, "refused"));
            case Says::Silent:
                c_.ledger.sent();
                return c_.sink.report(index,
                                      lostAfterSend(makeError(ErrorCode::Timeout, "timed out")));
        }
    }

    WayContext c_;
    const Script& script_;
    const WayScript& way_;
    Journal& journal_;
    std::vector<bool> held_;
    std::vector<std::optional<Flight>> flights_;
    std::vector<int> asked_;
    std::vector<int> polledFds_;
    bool stopped_ = false;
};

// Every wait of the loop takes its whole time-out: nothing arrives but what the ways script.
class ScriptedPoller final : public Poller {
  public:
    ScriptedPoller(SteppingClock& clock, const Script& script) : clock_(clock), script_(script) {}
    Status wait(std::span<PollEntry> polled, int timeoutMs) override {
        if (script_.pollFails) {
            return *script_.pollFails;
        }
        for (auto& e : polled) {
            e.revents = e.events;
        }
        clock_.advance(std::chrono::milliseconds(timeoutMs));
        return Ok{};
    }
    void wake() override {}

  private:
    SteppingClock& clock_;
    const Script& script_;
};

class ScriptedTransport final : public RunTransport {
  public:
    ScriptedTransport(SteppingClock& clock, const Script& script, Journal& journal)
        : script_(script), journal_(journal), poller_(clock, script) {}
    std::optional<Error> unusable() const override { return std::nullopt; }
    Poller& poller() override { return poller_; }
    std::vector<Way> ways(SendWay, const WayContext& context) override {
        std::vector<Way> ways;
        for (const auto& way : script_.ways) {
            ways.push_back(Way::of(std::make_unique<ScriptedWay>(context, script_, way, journal_)));
        }
        return ways;
    }

  private:
    const Script& script_;
    Journal& journal_;
    ScriptedPoller poller_;
};

}  // namespace vellicor::mall::test
