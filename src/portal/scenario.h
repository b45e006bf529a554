#pragma once
// What the simulated portal knows: accounts, balances, stock, prices, opening times, and the
// misbehaviour it is told to show. Read from JSON; docs/portal.md describes the format.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "schedule/time_of_day.h"

namespace vellicor::portal {

struct GameInfo {
    std::string tag;
    std::string name;  // UTF-8, as the mall writes it
    int gid = 0;
};

struct CatalogueItem {
    std::string id;  // the tool's id of the item
    int gid = 0;
    std::int64_t propsid = 0;
    int way = 1;  // 1 direct exchange, 2 lottery draw
    std::string token;
    std::string caption;  // UTF-8
};

// The seven games in the mall's order, and the 45 items the mall sells: the tool's catalogue
// (src/mall/catalogue.h), so that the simulator sells whatever the tool offers.
const std::vector<GameInfo>& games();
const std::vector<CatalogueItem>& catalogue();
const GameInfo* findGame(int gid);
const CatalogueItem* findItem(std::int64_t propsid);

// When an item opens, on the simulator's (offset) clock. Exactly one form is set.
struct Opening {
    std::optional<schedule::TimeOfDay> opensAt;  // local time of day, "HH:MM:SS"
    std::optional<std::int64_t> epochMs;      // absolute
    std::optional<std::int64_t> afterLoadMs;  // relative to the moment the scenario was set
};

struct ItemSetup {
    std::int64_t stock = 1000;
    std::int64_t price = 20;
    std::optional<Opening> opens;  // none: open now
    bool conditionUnmet = false;   // every account fails the item's condition
    int perAccountDaily = 0;       // exchanges (draws included) an account may make a day; 0 any
};

struct SignState {
    bool signedToday = false;
    int total = 0;  // days signed in all
    int run = 0;    // consecutive days, today included when signed
};

struct Account {
    std::string uin;
    std::string password;
    std::map<int, std::int64_t> balances;  // gid -> tickets; only games listed appear
    std::map<int, SignState> signin;       // gid -> state
    std::vector<std::int64_t> unmet;       // propsids whose condition this account fails
};

// How one endpoint misbehaves. The key is a prefix of the request target.
enum class FaultMode {
    None,
    Refuse,            // reset the connection as soon as the request is in
    Hang,              // read the request, never answer
    Slow,              // answer one byte at a time
    ResetMidBody,      // headers and part of the body, then a reset
    TruncatedChunked,  // chunked body whose last chunk never comes
    HugeBody,          // a body of `bytes` bytes (50 MB unless told)
    InvalidGbk,        // a body of bytes that are not GBK
    NoMarker,          // a well-formed page without any text the tool looks for
    Status429,
    Status503,
    GarbageStatus,  // a status line that is not HTTP
    RedirectLoop,   // 302 to the very same address
    Delay,          // the normal answer, `delayMs` late
    Close,          // the normal answer, then the connection is closed
};

struct Fault {
    FaultMode mode = FaultMode::None;
    std::int64_t bytes = 50LL * 1024 * 1024;  // HugeBody size
    double delayMs = 0;                       // Slow: per byte; Delay: before the answer
    std::int64_t times = -1;                  // how many requests it hits; -1 for all
};

// The network between the tool and the mall: a request is taken `upMs` after its bytes came
// in, its reply leaves `upMs + downMs` after them; each direction gets a random extra of up to
// `jitterMs`.
struct NetworkPath {
    double upMs = 0;
    double downMs = 0;
    double jitterMs = 0;
};

// The mall's own work on a request, the time its page takes before the answer leaves (on top
// of `replyDelayMs`), and when its Date is stamped: as the request comes in, or as the answer
// leaves, after the work, as most front ends do. The bare "OPTIONS *" takes no work.
enum class DateStamp { Arrival, Departure };
struct Work {
    double ms = 0;                           // every page without a prefix of its own
    std::map<std::string, double> byPrefix;  // target prefix -> ms; the longest match wins
    DateStamp dateAt = DateStamp::Arrival;
};

struct Lottery {
    std::uint64_t seed = 20140401;
    int winPercent = 10;  // 0 always loses, 100 always wins
};

struct Scenario {
    std::vector<Account> accounts;
    std::map<std::int64_t, ItemSetup> items;  // propsid -> setup; every catalogue item present
    Lottery lottery;
    std::string version = "3";
    double clockOffsetMs = 0;  // the portal's clock minus the real one
    double replyDelayMs = 0;
    NetworkPath path;
    Work work;
    std::int64_t idleTimeoutMs = 120000;   // an idle kept-alive connection is closed then
    std::optional<int> utcOffsetSeconds;   // local time of the portal; none: the clock's
    std::vector<int> centreWithoutButton;  // gids whose centre page lacks the sign-in button
    bool checkToken = false;               // refuse an exchange whose g_tk is not the stored one
    std::map<std::string, Fault> faults;
    // Fixed sessions "uin" -> "skey", so tests can skip the login.
    std::map<std::string, std::string> sessions;
};

// The demo account with balances for a few games, every item in stock and open.
Scenario defaultScenario();
// An empty text gives the default scenario. Unknown keys are errors, so typos show.
Result<Scenario> parseScenario(const std::string& json);

}  // namespace vellicor::portal
