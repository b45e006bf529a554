#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "platform/codec.h"
#include "platform/config.h"
#include "web/page_request.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message, int code = kExitFailed) {
    std::fprintf(stderr, "vellicor-cli request: %s\n", message.c_str());
    return code;
}

void section(const char* heading, const std::string& text) {
    std::printf("== %s ==\n", heading);
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (text.back() != '\n') {
            std::fputc('\n', stdout);
        }
    }
}

// The reply header text with its lines ended the terminal's way.
std::string plainLines(const std::string& headerText) {
    std::string out;
    for (char c : headerText) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

Result<web::PageRequest> requestFrom(const Options& opts) {
    if (opts.positional().size() != 1) {
        return makeError(ErrorCode::BadInput, "expects exactly one address");
    }
    web::PageRequest r;
    r.url = opts.positional().front();
    r.method = opts.value("method").value_or("GET");
    if (r.method != "GET" && r.method != "POST") {
        return makeError(ErrorCode::BadInput, "--method is GET or POST");
    }
    // The portal reads form bodies as GBK; the quote marker is expanded before encoding.
    auto body = utf8ToGbk(web::expandQuoteMarker(opts.value("body").value_or(""), "\""));
    if (!body) {
        return makeError(ErrorCode::BadInput, "--body: " + body.error().message);
    }
    r.body = std::move(body.value());
    r.cookies = opts.value("cookie").value_or("");
    r.proxy = opts.value("proxy").value_or("");
    for (const auto& line : opts.values("header")) {
        r.headerText += r.headerText.empty() ? line : "\r\n" + line;
    }
    return r;
}

}  // namespace

int runRequest(const Args& args) {
    auto opts = Options::parse(args, {"method", "body", "cookie", "header", "proxy", "config"});
    if (!opts) {
        return fail(opts.error().message, kExitUsage);
    }
    auto request = requestFrom(opts.value());
    if (!request) {
        return fail(request.error().message);
    }
    HttpSettings settings;
    if (auto file = opts->value("config")) {
        auto config = loadConfig(*file);
        if (!config) {
            return fail(config.error().message);
        }
        settings = config->http;
    }
    auto reply = web::pageRequest(request.value(), settings);
    if (!reply) {
        return fail(reply.error().message);
    }
    section("reply header text", plainLines(reply->headerText));
    section("reply cookies", reply->cookies);
    section("redirect target", reply->redirect);
    section("body", gbkToUtf8(reply->body));
    return kExitOk;
}

}  // namespace vellicor::cli
