#include "cli/portal_session.h"

#include "platform/config_resolution.h"

namespace vellicor::cli {

Result<PortalSession> resolveSession(const Options& options) {
    auto resolved =
        resolveConfig(options.value("config").value_or(""), options.value("portal").value_or(""));
    if (!resolved) {
        return resolved.error();
    }
    auto setup = portal::startEmbedded(std::move(resolved).value());
    if (!setup) {
        return setup.error();
    }
    PortalSession session{std::move(setup.value()), options.value("cookie").value_or("")};
    if (!session.cookies.empty()) {
        return session;
    }
    if (!session.setup.server) {
        return makeError(ErrorCode::BadInput, "没有会话：请用 --cookie 给出登录后的 cookie 字符串");
    }
    auto cookies = portal::demoLogin(session.setup.config);
    if (!cookies) {
        return makeError(cookies.error().code, "the demo login failed: " + cookies.error().message);
    }
    session.cookies = std::move(cookies.value());
    session.demo = true;
    return session;
}

}  // namespace vellicor::cli
