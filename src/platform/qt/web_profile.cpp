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

}  // namespace vellicor::ui
