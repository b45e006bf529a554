#include "cli/run_options.h"

#include <cstdio>

#include "cli/portal_session.h"
#include "cli/unattended.h"
#include "mall/catalogue.h"
#include "mall/timeline.h"

namespace vellicor::cli {

Result<Options> runOptions(const Args& args, RunCommand command) {
    if (command == RunCommand::Check) {
        // --name comes with the [run] section the service shares with the exchange.
        return Options::parse(
            args, {"items", "threads", "at", "cookie", "accounts", "portal", "config", "name"},
            {"no-simulator", "alerts"});
    }
    return Options::parse(
        args,
        {"items", "threads", "at", "cookie", "accounts", "portal", "config", "timeline", "name"},
        {"no-simulator"});
}

Result<Options> runOptionsWithFile(const Args& args, RunCommand command) {
    auto opts = runOptions(args, command);
    if (!opts) {
        return opts;
    }
    auto extra = runFileArgs(*opts);
    if (!extra) {
        return extra.error();
    }
    if (extra->empty()) {
        return opts;
    }
    Args all = args;
    all.insert(all.end(), extra->begin(), extra->end());
    return runOptions(all, command);
}

std::variant<Options, RunRefusal> checkedRunOptions(const Args& args, RunCommand command) {
    if (auto plain = runOptions(args, command); !plain) {
        return RunRefusal{plain.error().message, kExitUsage};
    }
    auto opts = runOptionsWithFile(args, command);
    if (!opts) {
        return RunRefusal{opts.error().message, kExitFailed};
    }
    if (!opts->positional().empty()) {
        return RunRefusal{"unexpected argument " + opts->positional().front(), kExitUsage};
    }
    if (!opts->has("items") || !opts->has("threads")) {
        return RunRefusal{"--items and --threads are required", kExitUsage};
    }
    if (conflictingSessions(*opts)) {
        return RunRefusal{"--cookie 与 --accounts 只能给出其一", kExitUsage};
    }
    if (auto st = refuseSimulator(*opts); !st) {
        return RunRefusal{st.error().message, kExitFailed};
    }
    return std::move(opts).value();
}

Result<RunRequest> runRequestOf(const Options& opts) {
    RunRequest out{splitNames(*opts.value("items")), *opts.value("threads"), std::nullopt,
                   opts.value("timeline")};
    if (auto chosen = mall::selectItems(out.items); !chosen) {
        return makeError(ErrorCode::BadInput, chosen.error().message + "，本次未发送请求");
    }
    if (auto at = opts.value("at")) {
        auto time = schedule::parseTimeOfDay(*at);
        if (!time) {
            return time.error();
        }
        out.at = *time;
    }
    if (out.timeline) {
        if (auto st = mall::checkTimelineFile(*out.timeline); !st) {
            return st.error();
        }
    }
    return out;
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

void printLine(const std::string& text) {
    std::string line = text;
    std::erase(line, '\r');
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace vellicor::cli
