#include "web/qt/session.h"

#include <QFile>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

#include "web/kept_session.h"

namespace vellicor::web {
namespace {

StoredCookie stored(const QNetworkCookie& c) {
    return {c.name().toStdString(), c.value().toStdString(), c.domain().toStdString(),
            c.isSecure()};
}

// The page the cookie would have come from, for the store to file it under.
QUrl originOf(const QNetworkCookie& c) {
    QString host = c.domain();
    if (host.startsWith(u'.')) {
        host.remove(0, 1);
    }
    return QUrl((c.isSecure() ? QStringLiteral("https://") : QStringLiteral("http://")) + host +
                c.path());
}

}  // namespace

Session::Session(const Config& config, QWebEngineProfile* profile, QString keepFile,
                 QObject* parent)
    : QObject(parent), profile_(profile), keepFile_(std::move(keepFile)), cookies_(config.mall) {
    if (profile_ != nullptr) {
        QWebEngineCookieStore* store = profile_->cookieStore();
        connect(store, &QWebEngineCookieStore::cookieAdded, this,
                [this](const QNetworkCookie& c) { added(c); });
        connect(store, &QWebEngineCookieStore::cookieRemoved, this,
                [this](const QNetworkCookie& c) { removed(c); });
        // Cookies the store held before we listened arrive as additions too.
        store->loadAllCookies();
    }
    saveSoon_.setSingleShot(true);
    saveSoon_.setInterval(0);
    connect(&saveSoon_, &QTimer::timeout, this, [this] { save(); });
    if (!keepFile_.isEmpty()) {
        restore();
    }
}

void Session::setLoggedIn(bool on) {
    if (on != loggedIn_) {
        loggedIn_ = on;
        if (on && !keepFile_.isEmpty()) {
            saveSoon_.start();
        }
        emit loggedInChanged(on);
    }
}

void Session::added(const QNetworkCookie& c) {
    cookies_.added(stored(c));
    held_[{c.name(), c.domain(), c.path()}] = c;
    if (loggedIn_ && !keepFile_.isEmpty()) {
        saveSoon_.start();
    }
}

void Session::removed(const QNetworkCookie& c) {
    cookies_.removed(stored(c));
    held_.erase({c.name(), c.domain(), c.path()});
    if (loggedIn_ && !keepFile_.isEmpty()) {
        saveSoon_.start();
    }
}

void Session::forget() {
    saveSoon_.stop();
    if (profile_ != nullptr) {
        profile_->cookieStore()->deleteAllCookies();
    } else {
        for (const auto& [key, cookie] : std::map(held_)) {
            removed(cookie);
        }
    }
    if (!keepFile_.isEmpty()) {
        dropKeptSession(QFile::encodeName(keepFile_).toStdString());
    }
}

// The cookie string is whole at once; the store gets them in the background.
void Session::restore() {
    QFile file(keepFile_);
    if (file.open(QIODevice::ReadOnly)) {
        restoreLines(file.readAll());
    }
}

void Session::restoreLines(const QByteArray& lines) {
    for (const QByteArray& line : lines.split('\n')) {
        for (const QNetworkCookie& c : QNetworkCookie::parseCookies(line)) {
            added(c);
            if (profile_ != nullptr) {
                profile_->cookieStore()->setCookie(c, originOf(c));
            }
            restored_ = true;
        }
    }
}

// Only a logged-in session is worth keeping: a login page's cookies are not.
void Session::save() const {
    if (keepFile_.isEmpty() || !loggedIn_) {
        return;
    }
    writeKeptSession(QFile::encodeName(keepFile_).toStdString(), keptLines());
}

std::string Session::keptLines() const {
    QByteArray text;
    for (const auto& [key, cookie] : held_) {
        text += cookie.toRawForm(QNetworkCookie::Full) + '\n';
    }
    return text.toStdString();
}

}  // namespace vellicor::web
