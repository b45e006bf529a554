#pragma once
// The logged-in session as the tool's own requests carry it: the cookie string for the mall
// host, fed by the cookie store of the profile every pane shares, and whether a login has
// finished since the last 重新登录.
//
// With a keep file (session.remember) the cookies of a logged-in session are also kept there,
// 0600, rewritten as they change, and put back into the store at the next start; forget()
// deletes it. Without one nothing of the session touches the disk.

#include <QNetworkCookie>
#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <string>
#include <tuple>

#include "platform/config.h"
#include "web/session_cookies.h"

class QWebEngineProfile;

namespace vellicor::web {

class Session : public QObject {
    Q_OBJECT
  public:
    // keepFile: where a remembered session is kept; empty for none. Without a profile there
    // is no browser store: the session holds just what the keep file gave it.
    Session(const Config& config, QWebEngineProfile* profile, QString keepFile = {},
            QObject* parent = nullptr);

    // The session cookie string as it stands now. Each run of workers takes one copy and
    // keeps it: a cookie that changes later reaches the next run, never one under way.
    std::string cookies() const { return cookies_.current(); }

    bool loggedIn() const { return loggedIn_; }
    void setLoggedIn(bool on);
    // Deletes every cookie of the profile and the kept session.
    void forget();
    // Whether the store got cookies from the keep file at the start.
    bool restored() const { return restored_; }
    // Every cookie of the store, one raw cookie a line, as a keep file holds them; and such
    // lines put back into the store (an account remembered by the account list).
    std::string keptLines() const;
    void restoreLines(const QByteArray& lines);

  signals:
    void loggedInChanged(bool loggedIn);

  private:
    using Key = std::tuple<QByteArray, QString, QString>;  // name, domain, path
    void added(const QNetworkCookie& cookie);
    void removed(const QNetworkCookie& cookie);
    void restore();
    void save() const;

    QWebEngineProfile* profile_;
    QString keepFile_;
    SessionCookies cookies_;
    std::map<Key, QNetworkCookie> held_;  // every cookie of the store, for the keep file
    QTimer saveSoon_;                     // one write for a burst of changes
    bool loggedIn_ = false;
    bool restored_ = false;
};

}  // namespace vellicor::web
