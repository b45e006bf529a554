#pragma once
// The logged-in session as the tool's own requests carry it: the cookie string for the mall
// host, fed by the cookie store of the profile every pane shares, and whether a login has
// finished since the last 重新登录.

#include <QObject>
#include <string>

#include "platform/config.h"
#include "web/session_cookies.h"

class QWebEngineProfile;

namespace vellicor::web {

class Session : public QObject {
    Q_OBJECT
  public:
    Session(const Config& config, QWebEngineProfile* profile, QObject* parent = nullptr);

    // The session cookie string as it stands now. Each run of workers takes one copy and
    // keeps it: a cookie that changes later reaches the next run, never one under way.
    std::string cookies() const { return cookies_.current(); }

    bool loggedIn() const { return loggedIn_; }
    void setLoggedIn(bool on);
    // Deletes every cookie of the profile, on disk too where it keeps them.
    void forget();

  signals:
    void loggedInChanged(bool loggedIn);

  private:
    QWebEngineProfile* profile_;
    SessionCookies cookies_;
    bool loggedIn_ = false;
};

}  // namespace vellicor::web
