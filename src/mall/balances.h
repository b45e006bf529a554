#pragma once
// The ticket balance of each game, read from the mall's record page with the session.

#include <string>
#include <string_view>
#include <vector>

#include "mall/catalogue.h"
#include "platform/config.h"
#include "platform/result.h"
#include "web/accounts.h"
#include "web/page_request.h"

namespace vellicor::mall {

// How far past the end of a game's name the end of the balance span's opening tag may
// start. The balance stands right after the name; a name met further away (a menu entry, a
// line of the usage list) is not the balance's and must not borrow another game's number.
inline constexpr std::size_t kBalanceReach = 160;

enum class BalanceState {
    Read,        // the page gives the number
    Absent,      // the game is not on the page: no tickets for it
    Unreadable,  // the name is there but no number follows it where it should
};

struct Balance {
    const Game* game = nullptr;
    BalanceState state = BalanceState::Absent;
    std::string amount;  // decimal digits as the page writes them, when read
    std::string text;    // the caption shown: "CF 游票: 35"
};

std::string recordPageAddress(const Config& config);
std::string usageRecordAddress(const Config& config);

// "CF 游票: " and the amount; "CF 游票: 0" when absent; "CF 游票: ?" when unreadable, so
// that a number the tool failed to read is never shown as an empty account.
std::string balanceText(const Game& game, BalanceState state, std::string_view amount = {});
// The seven captions before anything was read, in game-table order.
std::vector<std::string> initialBalanceTexts();

// One balance per game, in game-table order, from the decoded (UTF-8) record page.
std::vector<Balance> parseBalances(std::string_view page);

// True when a portal page tells the visitor to log in first.
bool saysNotLoggedIn(std::string_view page);

// Refuses a reply that is not the user's record: an HTTP failure, a redirect (to a login
// page) or a page that says the visitor is not logged in. Reading zeros off such a page
// would tell the user the account is empty.
Status checkRecordReply(const web::Reply& reply, std::string_view decodedBody);

// Fetches the record page with the session cookie string and parses it. Blocking; any
// thread. An empty cookie string is refused without a request.
Result<std::vector<Balance>> readBalances(const Config& config, const std::string& cookies);

// Whether the mall takes an account's session: the one rule every front end asks by.
enum class SessionState {
    LoggedIn,   // the record page answered for it
    LoggedOut,  // no cookies, sent to the login, or the page says to log in
    Unknown,    // no answer, or a page that is neither: the mall may be busy, not the session over
};

// Asks the record page with the account's session, through its proxy. Blocking; any thread.
SessionState checkSession(const Config& config, const web::Account& account);

}  // namespace vellicor::mall
