#include "cli/portal_session.h"

namespace vellicor::cli {

Result<PortalSession> resolveSession(const Options& options) {
    auto setup = portal::resolvePortal(options.value("config").value_or(""),
                                       options.value("portal").value_or(""));
    if (!setup) {
        return setup.error();
    }
    PortalSession session{std::move(setup.value()), options.value("cookie").value_or("")};
    if (session.cookies.empty()) {
        auto cookies = portal::demoLogin(session.setup.config);
        if (!cookies) {
            return makeError(cookies.error().code, "no session given and the demo login failed: " +
                                                       cookies.error().message);
        }
        session.cookies = std::move(cookies.value());
    }
    return session;
}

}  // namespace vellicor::cli
