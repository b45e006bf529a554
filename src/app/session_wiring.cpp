#include "app/session_wiring.h"

#include <memory>

#include "app/main_window.h"
#include "platform/qt/web_profile.h"
#include "app/signin_controller.h"
#include "web/login_address.h"
#include "app/login_controller.h"
#include "web/qt/session.h"

namespace vellicor::web {

SessionControllers addSessionControllers(app::MainWindow& window, app::AppContext& context) {
    context.startAddresses["超文本浏览框1"] = quickLoginAddress(context.config);
    context.startAddresses["超文本浏览框2"] = accountLoginAddress(context.config);

    SessionControllers out;
    // A remembered session is kept in the data folder; otherwise nothing of it is on disk.
    QString keepFile;
    if (context.config.window.rememberSession && !context.dataFolder.empty()) {
        keepFile = QString::fromStdString(context.dataFolder + "/session");
    }
    out.session = new Session(context.config, ui::sharedWebProfile(), keepFile, &window);
    auto login = std::make_unique<LoginController>(window, context, *out.session);
    auto signin = std::make_unique<signin::SigninController>(window, context, *out.session);
    out.login = login.get();
    out.signin = signin.get();
    window.addHandlers(std::move(login));
    window.addHandlers(std::move(signin));
    return out;
}

std::function<std::string()> cookieSource(const Session& session) {
    return [&session] { return session.cookies(); };
}

}  // namespace vellicor::web
