#pragma once
// The accounts of the window, each with a browser profile and a session of its own, so that
// no account's pages or requests ever carry another's cookies; and the one in view, whose
// profile the window's panes use.
//
// A login always happens in the profile in view. When no account is in view that is the
// profile of a new login, which becomes the account's once the login names its number (an
// account listed already gives its old profile up for it). With remembering, every account
// is kept by the account list; a remembered account's profile keeps its other data in the
// folder the list names, and removing the account deletes both.

#include <QObject>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "platform/config.h"
#include "platform/result.h"
#include "web/accounts.h"

#include <QWebEngineProfile>

namespace vellicor::web {
class Session;
}

namespace vellicor::app {

class AccountSessions final : public QObject {
    Q_OBJECT
  public:
    // browser: whether profiles exist at all (false for tests with stand-in panes; the
    // sessions then hold just what a login hands them).
    AccountSessions(const Config& config, const std::string& dataFolder, bool remember,
                    bool browser, QObject* parent = nullptr);
    ~AccountSessions() override;

    const std::vector<web::Account>& accounts() const { return list_.accounts(); }
    // Lines for the log: remembered files that could not be read.
    const std::vector<std::string>& skipped() const { return skipped_; }

    // The account in view; "" while a new login is in view.
    const std::string& currentNumber() const { return current_->number; }
    web::Session& current() { return *current_->session; }
    const web::Session& current() const { return *current_->session; }
    QWebEngineProfile* currentProfile() const { return current_->profile; }
    web::Session* session(const std::string& number);
    QWebEngineProfile* profile(const std::string& number) const;
    // Where the account's profile keeps its data; "" in memory (or no such account).
    std::string profileFolderOf(const std::string& number) const;
    // The account's name; the number itself for one not listed.
    std::string nameOf(const std::string& number) const;

    // Shows the account; "" shows a new login. Unknown numbers are refused.
    Status show(const std::string& number);
    // The session in view has logged in: its account is listed or refreshed, and in view.
    Result<std::string> loggedIn();

    // A login made elsewhere (the demo's, by the simulator's login form): its cookie string,
    // for the host the cookies belong to, becomes a logged-in account, as if made in a pane.
    Result<std::string> addSession(const std::string& cookies, const std::string& host);

    bool ticked(const std::string& number) const;
    void setTicked(const std::string& number, bool on);
    // The accounts a run fires for, with their cookies as they stand now; the account in
    // view first. Logged-out accounts are left out.
    std::vector<web::Account> tickedAccounts() const;
    // Every logged-in account, ticked or not, with its cookies as they stand now.
    std::vector<web::Account> loggedInAccounts() const;

    Status rename(const std::string& number, const std::string& name);
    // The account's own proxy ("" for http.proxy's), kept in its remembered file; a setting
    // that does not parse is refused and changes nothing.
    Status setProxy(const std::string& number, const std::string& proxy);
    // Drops the account, its remembered file and its profile's folder. The one in view gives
    // way to the next account, or to a new login.
    Status remove(const std::string& number);

    // Logs the account in view out: its profile's cookies go, and with them what is
    // remembered of its session; the account stays listed.
    void forgetCurrent();

    // Writes every logged-in account's cookies as they stand now (remembering only).
    void rememberAll();

  signals:
    // Another session is in view (its profile is for the panes now).
    void currentChanged();
    // An account came, went, or changed its name or tick.
    void listChanged();
    // The session in view logged in or out (not: another one came into view).
    void loggedInChanged(bool loggedIn);
    // The profile is about to be deleted: whatever pane shows it has to leave it now.
    void dropping(QWebEngineProfile* profile);

  private:
    struct Entry {
        std::string number;  // "" for the new login
        std::string folder;  // where its profile keeps its data; "" in memory
        QWebEngineProfile* profile = nullptr;
        web::Session* session = nullptr;
        bool ticked = true;
    };
    std::unique_ptr<Entry> makeEntry(const std::string& number, const std::string& folder);
    Entry* find(const std::string& number) const;
    void setCurrent(Entry* entry);
    void dropEntry(std::unique_ptr<Entry> entry);
    std::vector<web::Account> collect(bool tickedOnly) const;

    Config config_;
    std::string dataFolder_;
    bool remember_ = false;
    bool browser_ = false;
    web::AccountList list_;
    std::vector<std::string> skipped_;
    std::vector<std::unique_ptr<Entry>> entries_;  // the new login's ("") among them
    Entry* current_ = nullptr;
};

}  // namespace vellicor::app
