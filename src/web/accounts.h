#pragma once
// The accounts the tool acts for. Each is known by its number (the portal's uin, read from the
// "uin=o<number>" cookie a login sets) and shown by a name that starts as the number and
// that the user may change. A login adds its account, or refreshes the cookies of the one
// already listed.
//
// With remembering on, every account is kept in a 0600 file of its own in the data folder's
// "accounts" folder, written whole or not at all; removing an account deletes its file. A
// browser profile's data for an account lives in the data folder's "profiles/<number>": the
// list never touches it, but says where it is when the account goes, so that the window
// deletes it with the profile closed.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vellicor::web {

struct Account {
    std::string number;   // the uin, decimal digits
    std::string name;     // shown; unique in a list
    std::string cookies;  // the cookie string the tool's own requests carry
    std::string proxy;    // "[user:password@]host:port"; empty for the configured one
    // What the window's browser store keeps of the session (one raw cookie a line); the core
    // keeps it with the account and never reads it.
    std::string kept;
};

// An account as a list or a file gives it: its name, its session and its own proxy.
inline Account makeAccount(std::string name, std::string cookies, std::string proxy = {}) {
    return Account{{}, std::move(name), std::move(cookies), std::move(proxy), {}};
}

// A run on a bare cookie string (a command line's --cookie): one account of no name.
inline std::vector<Account> oneAccount(std::string cookies) {
    return {Account{{}, {}, std::move(cookies), {}, {}}};
}

// The proxy an account's own requests go through: its own, else the configured one (empty:
// none).
inline const std::string& proxyOf(const Account& account, const std::string& configured) {
    return account.proxy.empty() ? configured : account.proxy;
}

// The account number a cookie string names ("uin=o10001" gives "10001", leading zeros
// dropped), or "" when it names none.
std::string accountNumber(std::string_view cookies);

// Whether the text holds a control character: C0, DEL, or C1 in UTF-8, which a terminal
// would act on. Names, cookies and proxies hold none.
bool hasControlCharacter(std::string_view text);

// The cookie string "a=1; b=2" of raw cookie lines ("a=1; path=/; domain=.x"), as a kept
// session holds them: the first pair of each line.
std::string cookiesOfKeptLines(std::string_view lines);

// Where the accounts are kept, and an account's browser profile, under a data folder.
std::string accountsFolder(const std::string& dataFolder);
std::string profileFolder(const std::string& dataFolder, const std::string& number);

// An account's file as text, and back. Reading checks what it needs: a number of digits
// that matches the file's name, and UTF-8 text.
std::string accountText(const Account& account);
Result<Account> parseAccountText(std::string_view text, const std::string& number);

class AccountList {
  public:
    struct Opened;
    struct Removed;

    // The accounts an earlier start remembered, when remembering; a session kept the way a
    // single account used to be kept becomes the first account. Without remembering, every
    // file an earlier start left is deleted, so that nothing of a login stays on disk.
    static Opened open(const std::string& dataFolder, bool remember);

    // A list remembering nothing.
    AccountList() = default;

    const std::vector<Account>& accounts() const { return accounts_; }
    const Account* find(std::string_view number) const;

    // The account the cookie string logs in, added with its number for a name, or its
    // cookies (and kept store) refreshed; its index in the list.
    Result<std::size_t> addOrRefresh(const std::string& cookies, const std::string& kept = {});
    // Empty names and a name another account has are refused.
    Status rename(std::string_view number, const std::string& name);
    Status setProxy(std::string_view number, const std::string& proxy);
    Result<Removed> remove(std::string_view number);

  private:
    explicit AccountList(std::string dataFolder) : dataFolder_(std::move(dataFolder)) {}
    Account* findMutable(std::string_view number);
    std::string freeName(const std::string& wanted, const std::string& number) const;
    Status remember(const Account& account) const;

    std::string dataFolder_;  // empty: nothing is remembered
    std::vector<Account> accounts_;
};

struct AccountList::Opened {
    AccountList list;
    // One line for each file that could not be read (left on disk as it is), for the log.
    std::vector<std::string> skipped;
};

struct AccountList::Removed {
    Account account;
    std::string profileFolder;  // for the caller to delete; empty when nothing is remembered
};

}  // namespace vellicor::web
