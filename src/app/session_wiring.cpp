#include "app/session_wiring.h"

#include <memory>

#include "app/login_controller.h"
#include "app/signin_controller.h"
#include "app/window_view.h"
#include "platform/qt/web_profile.h"
#include "web/kept_session.h"
#include "web/qt/session.h"

namespace vellicor::app {

SessionControllers addSessionControllers(WindowView& window, AppContext& context) {
    SessionControllers out;
    // A remembered session is kept in the data folder; otherwise nothing of it is on disk,
    // not even what a start with remembering on left there.
    const QString keepFile = QString::fromStdString(
        web::keptSessionPath(context.dataFolder, context.config.window.rememberSession));
    out.session =
        new web::Session(context.config, ui::sharedWebProfile(), keepFile, &window.owner());
    auto login = std::make_unique<LoginController>(window, context, *out.session);
    auto signin = std::make_unique<SigninController>(window, context, *out.session);
    out.login = login.get();
    out.signin = signin.get();
    window.addHandlers(std::move(login));
    window.addHandlers(std::move(signin));
    return out;
}

std::function<std::string()> cookieSource(const web::Session& session) {
    return [&session] { return session.cookies(); };
}

}  // namespace vellicor::app
