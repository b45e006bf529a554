#include "platform/qt/web_profile.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QWebEngineProfile>

namespace vellicor::ui {
namespace {

QWebEngineProfile* inMemoryProfile() {
    static QWebEngineProfile* profile = [] {
        // A profile without a storage name is kept in memory only.
        auto* created = new QWebEngineProfile(QCoreApplication::instance());
        created->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
        created->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
        return created;
    }();
    return profile;
}

QPointer<QWebEngineProfile>& chosen() {
    static QPointer<QWebEngineProfile> profile;
    return profile;
}

}  // namespace

QWebEngineProfile* sharedWebProfile() {
    QWebEngineProfile* profile = chosen().data();
    return profile != nullptr ? profile : inMemoryProfile();
}

QWebEngineProfile* makeRememberingProfile(const QString& folder, QObject* parent) {
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    auto* profile = new QWebEngineProfile(QStringLiteral("vellicor"), parent);
    profile->setPersistentStoragePath(folder);
    profile->setCachePath(folder);
    profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    // The portal's session cookies have no expiry: kept all the same, or nothing would be.
    profile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    return profile;
}

void useWebProfile(QWebEngineProfile* profile) {
    chosen() = profile;
}

}  // namespace vellicor::ui
