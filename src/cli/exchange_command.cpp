// vellicor-cli exchange: the exchange run without a window, on the same engine and with the
// same checks as the "兑换" button. Without a portal or configuration it runs against the
// embedded simulator, logged in with its demo account.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "mall/aim.h"
#include "mall/clock_sync.h"
#include "mall/exchange_controller.h"
#include "mall/run_input.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "portal/embedded.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "vellicor-cli exchange: %s\n", message.c_str());
    return 1;
}

// A log line as the terminal wants it: without the "\r" of the log box.
void printLine(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::vector<std::string> splitNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        std::string name = text.substr(start, comma - start);
        const auto b = name.find_first_not_of(' ');
        const auto e = name.find_last_not_of(' ');
        if (b != std::string::npos) {
            names.push_back(name.substr(b, e - b + 1));
        }
        start = comma + 1;
    }
    return names;
}

Result<portal::PortalSetup> setupFrom(const Options& opts, std::string& cookies) {
    auto setup =
        portal::resolvePortal(opts.value("config").value_or(""), opts.value("portal").value_or(""));
    if (!setup) {
        return setup.error();
    }
    cookies = opts.value("cookie").value_or("");
    if (!setup->server || opts.has("cookie")) {
        return setup;
    }
    printLine("演示模式：模拟商城 " + setup->server->baseUrl() + "，演示帐号 " +
              portal::kDemoAccount);
    auto login = portal::demoLogin(setup->config);
    if (!login) {
        return login.error();
    }
    cookies = std::move(login).value();
    return setup;
}

}  // namespace

int runExchange(const Args& args) {
    auto opts = Options::parse(args, {"items", "threads", "at", "cookie", "portal", "config"});
    if (!opts) {
        return fail(opts.error().message);
    }
    if (!opts->positional().empty()) {
        return fail("unexpected argument " + opts->positional().front());
    }
    if (!opts->has("items") || !opts->has("threads")) {
        return fail("--items and --threads are required");
    }
    const Clock& clock = SystemClock::instance();
    std::optional<int> secondsOfDay;
    if (auto at = opts->value("at")) {
        auto seconds = mall::parseTimeOfDay(*at);
        if (!seconds) {
            return fail(seconds.error().message);
        }
        secondsOfDay = *seconds;
    }
    std::string cookies;
    auto setup = setupFrom(opts.value(), cookies);
    if (!setup) {
        return fail(setup.error().message);
    }
    mall::RunOptions runOptions;
    if (secondsOfDay) {
        // The set time is the mall's, read on its clock by the window's rule, and the way
        // there is sent ahead of.
        const auto estimate = mall::timerEstimate(setup->config, clock);
        const schedule::TimeOfDay time{*secondsOfDay / 3600, *secondsOfDay / 60 % 60,
                                       *secondsOfDay % 60};
        const mall::FiringAim aim = mall::aimFiring(setup->config, clock, estimate, time);
        printLine(aim.line);
        runOptions.fireAt = aim.fireAt;
    }
    mall::ExchangeController controller(setup->config, clock, printLine);
    if (runOptions.fireAt) {
        printLine("将于 " + *opts->value("at") + " 开始兑换");
    }
    if (!controller.start(splitNames(*opts->value("items")), *opts->value("threads"), cookies,
                          runOptions)) {
        return 1;
    }
    controller.wait();
    return 0;
}

}  // namespace vellicor::cli
