#include "portal/embedded.h"

#include "web/login_address.h"
#include "web/page_request.h"

namespace vellicor::portal {
namespace {

// scheme://host[:port] with nothing after it but an optional "/".
bool isPortalBase(const std::string& url) {
    std::string rest;
    if (url.starts_with("http://")) {
        rest = url.substr(7);
    } else if (url.starts_with("https://")) {
        rest = url.substr(8);
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    return !rest.empty() && rest.find_first_of("/?#@ \t\r\n") == std::string::npos;
}

}  // namespace

Result<PortalSetup> resolvePortal(const std::string& configFile, const std::string& portalUrl) {
    PortalSetup setup;
    setup.config = Config::defaults();
    if (!configFile.empty()) {
        auto loaded = loadConfig(configFile);
        if (!loaded.ok()) {
            return loaded.error();
        }
        setup.config = std::move(loaded).value();
    }
    if (!portalUrl.empty()) {
        if (!isPortalBase(portalUrl)) {
            return makeError(ErrorCode::BadAddress,
                             "--portal takes scheme://host[:port], not " + portalUrl);
        }
        setup.config = setup.config.withPortal(portalUrl);
    }
    if (configFile.empty() && portalUrl.empty()) {
        auto server = Server::start();
        if (!server.ok()) {
            return server.error();
        }
        setup.server = std::move(server).value();
        setup.config = setup.config.withPortal(setup.server->baseUrl());
    }
    return setup;
}

Result<std::string> demoLogin(const Config& config) {
    web::PageRequest request;
    request.url = config.accountLogin + "/cgi-bin/login_submit";
    request.method = "POST";
    request.body = std::string("u=") + kDemoAccount + "&p=" + kDemoPassword +
                   "&s_url=" + web::encodeOnce(web::returnPageAddress(config));
    request.proxy = config.http.proxy;
    auto reply = web::pageRequest(request, config.http);
    if (!reply.ok()) {
        return reply.error();
    }
    if (reply->status != 302 || reply->cookies.find("skey=") == std::string::npos) {
        return makeError(ErrorCode::Parse,
                         "the login service did not accept the demo account (status " +
                             std::to_string(reply->status) + ")");
    }
    return reply->cookies;
}

}  // namespace vellicor::portal
