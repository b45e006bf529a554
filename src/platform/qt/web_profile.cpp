#include "platform/qt/web_profile.h"

#include <QCoreApplication>
#include <QWebEngineProfile>

namespace vellicor::ui {

QWebEngineProfile* sharedWebProfile() {
    static QWebEngineProfile* profile = [] {
        // A profile without a storage name is kept in memory only.
        auto* created = new QWebEngineProfile(QCoreApplication::instance());
        created->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
        created->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
        return created;
    }();
    return profile;
}

QWebEngineProfile* newWebProfile(const QString& folder, const QString& name) {
    QObject* owner = QCoreApplication::instance();
    auto* created =
        folder.isEmpty() ? new QWebEngineProfile(owner) : new QWebEngineProfile(name, owner);
    if (!folder.isEmpty()) {
        created->setPersistentStoragePath(folder);
        created->setCachePath(folder + QStringLiteral("/cache"));
    }
    created->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    created->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    return created;
}

}  // namespace vellicor::ui
