#include "portal/embedded.h"

#include "web/login_address.h"
#include "web/page_request.h"

namespace vellicor::portal {

Result<PortalSetup> startEmbedded(ResolvedConfig resolved) {
    PortalSetup setup;
    setup.config = std::move(resolved.config);
    if (!resolved.wantsEmbedded) {
        return setup;
    }
    // The demo's runs are the user's, tens of thousands of requests each: the simulator keeps
    // only the newest of them, as nobody reads its record here.
    ServerOptions options;
    options.logCapacity = kEmbeddedLogRecords;
    auto server = Server::start(options);
    if (!server.ok()) {
        return server.error();
    }
    setup.server = std::move(server).value();
    setup.config = setup.config.withPortal(setup.server->baseUrl());
    return setup;
}

Result<std::string> demoLogin(const Config& config, const std::string& account) {
    web::PageRequest request;
    request.url = config.accountLogin + "/cgi-bin/login_submit";
    request.method = "POST";
    request.body = "u=" + web::encodeOnce(account) + "&p=" + kDemoPassword +
                   "&s_url=" + web::encodeOnce(web::returnPageAddress(config));
    request.proxy = config.http.proxy;
    auto reply = web::pageRequest(request, config.http);
    if (!reply.ok()) {
        return reply.error();
    }
    if (reply->status != 302 || reply->cookies.find("skey=") == std::string::npos) {
        return makeError(ErrorCode::Parse, "the login service did not accept the demo account " +
                                               account + " (status " +
                                               std::to_string(reply->status) + ")");
    }
    return reply->cookies;
}

}  // namespace vellicor::portal
