#include "web/qt/session.h"

#include <QNetworkCookie>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

namespace vellicor::web {
namespace {

StoredCookie stored(const QNetworkCookie& c) {
    return {c.name().toStdString(), c.value().toStdString(), c.domain().toStdString(),
            c.isSecure()};
}

}  // namespace

Session::Session(const Config& config, QWebEngineProfile* profile, QObject* parent)
    : QObject(parent), profile_(profile), cookies_(config.mall) {
    QWebEngineCookieStore* store = profile->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this,
            [this](const QNetworkCookie& c) { cookies_.added(stored(c)); });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this,
            [this](const QNetworkCookie& c) { cookies_.removed(stored(c)); });
    // Cookies the store held before we listened arrive as additions too.
    store->loadAllCookies();
}

void Session::setLoggedIn(bool on) {
    if (on != loggedIn_) {
        loggedIn_ = on;
        emit loggedInChanged(on);
    }
}

}  // namespace vellicor::web

namespace vellicor::web {

void Session::forget() {
    profile_->cookieStore()->deleteAllCookies();
}

}  // namespace vellicor::web
