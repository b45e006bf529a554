#include "app/account_sessions.h"

#include <QDir>
#include <QWebEngineProfile>
#include <algorithm>

#include "platform/qt/web_profile.h"
#include "web/qt/session.h"

namespace vellicor::app {

AccountSessions::AccountSessions(const Config& config, const std::string& dataFolder, bool remember,
                                 bool browser, QObject* parent)
    : QObject(parent),
      config_(config),
      dataFolder_(dataFolder),
      remember_(remember && !dataFolder.empty()),
      browser_(browser) {
    auto opened = web::AccountList::open(dataFolder, remember);
    list_ = std::move(opened.list);
    skipped_ = std::move(opened.skipped);
    for (const auto& account : list_.accounts()) {
        auto entry =
            makeEntry(account.number,
                      remember_ ? web::profileFolder(dataFolder_, account.number) : std::string{});
        entry->session->restoreLines(QByteArray::fromStdString(account.kept));
        entries_.push_back(std::move(entry));
    }
    entries_.push_back(makeEntry({}, {}));
    current_ = entries_.front().get();
}

AccountSessions::~AccountSessions() {
    // The window's panes are gone by now (they are older children of the window); a
    // profile of the same folder may be opened right after, by the next window.
    for (auto& entry : entries_) {
        delete entry->profile;
    }
}

std::unique_ptr<AccountSessions::Entry> AccountSessions::makeEntry(const std::string& number,
                                                                   const std::string& folder) {
    auto entry = std::make_unique<Entry>();
    entry->number = number;
    entry->folder = folder;
    if (browser_) {
        entry->profile = ui::newWebProfile(QString::fromStdString(folder),
                                           QStringLiteral("vellicor-%1").arg(number.c_str()));
    }
    entry->session = new web::Session(config_, entry->profile, {}, this);
    web::Session* session = entry->session;
    connect(session, &web::Session::loggedInChanged, this, [this, session](bool on) {
        if (current_ != nullptr && current_->session == session) {
            emit loggedInChanged(on);
        }
    });
    return entry;
}

AccountSessions::Entry* AccountSessions::find(const std::string& number) const {
    for (const auto& entry : entries_) {
        if (entry->number == number) {
            return entry.get();
        }
    }
    return nullptr;
}

web::Session* AccountSessions::session(const std::string& number) {
    Entry* entry = find(number);
    return entry != nullptr ? entry->session : nullptr;
}

std::string AccountSessions::nameOf(const std::string& number) const {
    const web::Account* account = list_.find(number);
    return account != nullptr ? account->name : number;
}

QWebEngineProfile* AccountSessions::profile(const std::string& number) const {
    const Entry* entry = find(number);
    return entry != nullptr ? entry->profile : nullptr;
}

std::string AccountSessions::profileFolderOf(const std::string& number) const {
    const Entry* entry = find(number);
    return entry != nullptr ? entry->folder : std::string();
}

void AccountSessions::setCurrent(Entry* entry) {
    if (entry == current_) {
        return;
    }
    current_ = entry;
    emit currentChanged();
}

Status AccountSessions::show(const std::string& number) {
    Entry* entry = find(number);
    if (entry == nullptr) {
        return makeError(ErrorCode::BadInput, "没有这个帐号: " + number);
    }
    setCurrent(entry);
    return Ok{};
}

Result<std::string> AccountSessions::loggedIn() {
    web::Session& session = *current_->session;
    const std::string number = web::accountNumber(session.cookies());
    const auto added = list_.addOrRefresh(session.cookies(), remember_ ? session.keptLines() : "");
    if (!added) {
        return added.error();
    }
    if (current_->number == number) {
        emit listChanged();
        return number;
    }
    const std::string left = current_->number;
    // The account listed before under that number gives its entry up for this login.
    bool ticked = current_->ticked;
    auto old = std::find_if(entries_.begin(), entries_.end(),
                            [&](const auto& e) { return e->number == number; });
    if (old != entries_.end()) {
        ticked = (*old)->ticked;
        std::unique_ptr<Entry> gone = std::move(*old);
        entries_.erase(old);
        dropEntry(std::move(gone));
    }
    if (left.empty()) {
        // A new login's panes become the account's, and a new login gets fresh ones.
        current_->number = number;
        current_->ticked = ticked;
        entries_.push_back(makeEntry({}, {}));
    } else {
        // Another number logged in in the panes of `left`, whose profile keeps its folder: the
        // login moves to a profile of its own, and `left` stays, logged out, on its own.
        auto moved = makeEntry(number, remember_ ? web::profileFolder(dataFolder_, number) : "");
        moved->ticked = ticked;
        moved->session->restoreLines(QByteArray::fromStdString(session.keptLines()));
        moved->session->setLoggedIn(true);
        session.setLoggedIn(false);
        session.forget();
        entries_.push_back(std::move(moved));
        setCurrent(entries_.back().get());
    }
    emit listChanged();
    return number;
}

Result<std::string> AccountSessions::addSession(const std::string& cookies,
                                                const std::string& host) {
    setCurrent(find({}));
    QByteArray lines;
    for (const QByteArray& pair : QByteArray::fromStdString(cookies).split(';')) {
        if (!pair.trimmed().isEmpty()) {
            lines += pair.trimmed() + "; domain=" + QByteArray::fromStdString(host) + "; path=/\n";
        }
    }
    current_->session->restoreLines(lines);
    current_->session->setLoggedIn(true);
    return loggedIn();
}

bool AccountSessions::ticked(const std::string& number) const {
    const Entry* entry = find(number);
    return entry != nullptr && entry->ticked;
}

void AccountSessions::setTicked(const std::string& number, bool on) {
    Entry* entry = find(number);
    if (entry != nullptr && !number.empty() && entry->ticked != on) {
        entry->ticked = on;
        emit listChanged();
    }
}

std::vector<web::Account> AccountSessions::tickedAccounts() const {
    return collect(true);
}

std::vector<web::Account> AccountSessions::loggedInAccounts() const {
    return collect(false);
}

std::vector<web::Account> AccountSessions::collect(bool tickedOnly) const {
    std::vector<web::Account> out;
    for (const auto& account : list_.accounts()) {
        const Entry* entry = find(account.number);
        if (entry != nullptr && (entry->ticked || !tickedOnly) && entry->session->loggedIn()) {
            out.push_back(account);
            out.back().cookies = entry->session->cookies();
            out.back().kept.clear();
        }
    }
    return out;
}

Status AccountSessions::rename(const std::string& number, const std::string& name) {
    auto done = list_.rename(number, name);
    if (done) {
        emit listChanged();
    }
    return done;
}

Status AccountSessions::setProxy(const std::string& number, const std::string& proxy) {
    auto done = list_.setProxy(number, proxy);
    if (done) {
        emit listChanged();
    }
    return done;
}

Status AccountSessions::remove(const std::string& number) {
    Entry* entry = find(number);
    if (number.empty() || entry == nullptr) {
        return makeError(ErrorCode::BadInput, "没有这个帐号: " + number);
    }
    auto removed = list_.remove(number);
    if (!removed) {
        return removed.error();
    }
    if (entry == current_) {
        // The panes leave the profile before it goes.
        Entry* next = entries_.back().get();
        for (const auto& other : entries_) {
            if (other.get() != entry && !other->number.empty()) {
                next = other.get();
                break;
            }
        }
        setCurrent(next);
    }
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& e) { return e.get() == entry; });
    std::unique_ptr<Entry> gone = std::move(*it);
    entries_.erase(it);
    dropEntry(std::move(gone));
    // Never a folder another account's profile stands on.
    const std::string& folder = removed->profileFolder;
    const bool inUse = std::any_of(entries_.begin(), entries_.end(),
                                   [&](const auto& e) { return e->folder == folder; });
    if (!folder.empty() && !inUse) {
        QDir(QString::fromStdString(folder)).removeRecursively();
    }
    emit listChanged();
    return Ok{};
}

void AccountSessions::dropEntry(std::unique_ptr<Entry> entry) {
    // Reads under way hold copies of its cookies, never the session.
    emit dropping(entry->profile);
    delete entry->session;
    delete entry->profile;
}

void AccountSessions::forgetCurrent() {
    web::Session& session = *current_->session;
    session.setLoggedIn(false);
    session.forget();
    if (!current_->number.empty()) {
        // The cookie naming the account is all its entry keeps.
        (void)list_.addOrRefresh("uin=o" + current_->number, {});
    }
}

void AccountSessions::rememberAll() {
    if (!remember_) {
        return;
    }
    for (const auto& entry : entries_) {
        if (!entry->number.empty() && entry->session->loggedIn()) {
            (void)list_.addOrRefresh(entry->session->cookies(), entry->session->keptLines());
        }
    }
}

}  // namespace vellicor::app
