#include "cli/portal_session.h"

#include "platform/config_resolution.h"
#include "platform/quote.h"
#include "web/accounts_file.h"

namespace vellicor::cli {
namespace {

constexpr const char* kDemoCookie = "demo";

Result<std::vector<web::Account>> fileAccounts(const Options& options) {
    if (!options.has("accounts")) {
        return std::vector<web::Account>{};
    }
    if (options.has("cookie")) {
        return makeError(ErrorCode::BadInput, "--cookie 与 --accounts 只能给出其一");
    }
    return web::loadAccountsFile(*options.value("accounts"));
}

// The account's session: its cookie string, or for "demo" a login by the simulator started
// here with the account the name gives.
Result<web::Account> sessionOf(const web::Account& account, PortalSession& session) {
    web::Account out = account;
    if (account.cookies != kDemoCookie) {
        return out;
    }
    const std::string who = "帐号 " + quoteBytes(account.name);
    if (!session.setup.server) {
        return makeError(ErrorCode::BadInput, who + "：cookie \"demo\" 只用于内置的模拟商城");
    }
    auto cookies = portal::demoLogin(session.configFor(account), account.name);
    if (!cookies) {
        return makeError(cookies.error().code, who + "：演示登录失败（名称须是演示帐号的号码）：" +
                                                   cookies.error().message);
    }
    out.cookies = std::move(cookies).value();
    session.demo.push_back(account.name);
    return out;
}

}  // namespace

Config PortalSession::configFor(const web::Account& account) const {
    Config config = setup.config;
    config.http.proxy = web::proxyOf(account, config.http.proxy);
    return config;
}

bool conflictingSessions(const Options& options) {
    return options.has("cookie") && options.has("accounts");
}

Result<PortalSession> resolveSession(const Options& options) {
    auto listed = fileAccounts(options);
    if (!listed) {
        return listed.error();
    }
    auto resolved =
        resolveConfig(options.value("config").value_or(""), options.value("portal").value_or(""));
    if (!resolved) {
        return resolved.error();
    }
    auto setup = portal::startEmbedded(std::move(resolved).value());
    if (!setup) {
        return setup.error();
    }
    PortalSession session{std::move(setup.value()), {}, !listed->empty(), {}};
    for (const web::Account& account : *listed) {
        auto one = sessionOf(account, session);
        if (!one) {
            return one.error();
        }
        session.accounts.push_back(std::move(one).value());
    }
    if (session.fromFile) {
        return session;
    }
    const std::string cookie = options.value("cookie").value_or("");
    if (!cookie.empty()) {
        session.accounts = web::oneAccount(cookie);
        return session;
    }
    if (!session.setup.server) {
        return makeError(ErrorCode::BadInput,
                         "没有会话：请用 --cookie 给出登录后的 cookie 字符串，或用 --accounts "
                         "给出帐号文件");
    }
    auto cookies = portal::demoLogin(session.setup.config);
    if (!cookies) {
        return makeError(cookies.error().code, "the demo login failed: " + cookies.error().message);
    }
    session.accounts = web::oneAccount(std::move(cookies).value());
    session.demo.emplace_back();
    return session;
}

}  // namespace vellicor::cli
