#pragma once
// The portal's live state: sessions, balances, stock, the usage record and sign-ins. One
// mutex guards all of it, so an item is never handed out more often than its stock allows,
// however many requests arrive together.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "portal/scenario.h"

namespace vellicor::portal {

using WallTime = std::chrono::system_clock::time_point;

// The portal's notion of now: its (offset) clock and its local time zone.
struct PortalTime {
    WallTime now;
    int utcOffsetSeconds = 0;
    std::int64_t localDay() const;  // days since the epoch, local calendar
};

enum class ExchangeResult {
    NotLoggedIn,
    UnknownItem,
    BadToken,
    WrongWay,
    NotOpenYet,
    ConditionUnmet,
    AccountLimit,  // the account has had the item as often as it may today
    SoldOut,
    NotEnoughTickets,
    Exchanged,
    LotteryWon,
    LotteryLost,
};

struct ExchangeRequest {
    std::string uin;  // empty when not logged in
    int gid = 0;
    std::int64_t propsid = 0;
    int way = 0;
    std::string token;
};

struct ExchangeOutcome {
    ExchangeResult result = ExchangeResult::UnknownItem;
    const CatalogueItem* item = nullptr;
    std::int64_t price = 0;
    int perAccountDaily = 0;
    WallTime opensAt;  // NotOpenYet: when it opens
};

struct CostEntry {
    WallTime at;
    int gid = 0;
    std::string caption;
    std::int64_t tickets = 0;
    bool lotteryWon = false;
    bool lottery = false;
};

// How long one request and its reply spend on the way, jitter drawn.
struct PathDelay {
    std::chrono::nanoseconds up{0};
    std::chrono::nanoseconds down{0};
};

class MallState {
  public:
    MallState();

    // Replaces the scenario and resets stock, balances, records and sign-ins. Sessions of
    // accounts that still exist survive, so a test may log in first and set the stage after.
    void setScenario(Scenario scenario, const PortalTime& loadedAt);
    Scenario scenario() const;

    // Returns the skey of a new session, or nothing for a wrong account or password.
    std::optional<std::string> login(const std::string& uin, const std::string& password);
    // A session for an account without its password (in-process helpers); empty if unknown.
    std::string openSession(const std::string& uin);
    // The account a uin/skey cookie pair belongs to, or empty.
    std::string sessionAccount(const std::string& uinCookie, const std::string& skey) const;

    ExchangeOutcome exchange(const ExchangeRequest& request, const PortalTime& time);

    std::map<int, std::int64_t> balances(const std::string& uin) const;
    std::vector<CostEntry> costs(const std::string& uin) const;
    std::int64_t stock(std::int64_t propsid) const;
    int perAccountDaily(std::int64_t propsid) const;  // 0: no limit

    SignState signState(const std::string& uin, int gid, const PortalTime& time) const;
    SignState sign(const std::string& uin, int gid, const PortalTime& time);

    // The fault that applies to a request target (longest matching prefix); counts it.
    Fault takeFault(const std::string& target);

    // The scenario's path with this request's jitter drawn.
    PathDelay drawPath();

    // The portal's clock offset and reply delay, read on every request.
    double clockOffsetMs() const;
    double replyDelayMs() const;
    std::int64_t idleTimeoutMs() const;
    std::optional<int> utcOffsetSeconds() const;
    // The work a page at `target` takes (longest matching prefix, else the scenario's), and
    // whether its Date is stamped as its answer leaves.
    double workMs(const std::string& target) const;
    bool datesOnDeparture() const;

  private:
    struct LiveSign {
        int total = 0;
        int run = 0;
        std::optional<std::int64_t> lastDay;  // local day of the last sign-in
    };
    struct LiveAccount {
        Account setup;
        std::map<int, std::int64_t> balances;
        std::map<int, LiveSign> signs;  // gid -> state
        std::vector<CostEntry> costs;
        std::map<std::int64_t, std::pair<std::int64_t, int>> taken;  // propsid -> day, count
    };

    LiveAccount* account(const std::string& uin);
    const LiveAccount* account(const std::string& uin) const;
    WallTime openingTime(const Opening& o, const PortalTime& time) const;
    bool drawWins();
    std::string newSkey();

    mutable std::mutex mutex_;
    Scenario scenario_;
    WallTime loadedAt_;
    std::map<std::string, LiveAccount> accounts_;
    std::map<std::int64_t, std::int64_t> stock_;
    std::map<std::string, std::string> sessions_;  // skey -> uin
    std::map<std::string, std::int64_t> faultHits_;
    std::mt19937_64 draws_;
    std::mt19937_64 keys_;
    std::mt19937_64 jitter_;
};

}  // namespace vellicor::portal
