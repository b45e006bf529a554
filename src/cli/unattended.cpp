#include "cli/unattended.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "platform/config_resolution.h"
#include "platform/quote.h"

namespace vellicor::cli {
namespace {

// A relative path of the file is read from the file's folder, not the service's.
std::string resolvedAccounts(const std::string& accounts, const std::string& configFile) {
    if (accounts.empty() || std::filesystem::path(accounts).is_absolute()) {
        return accounts;
    }
    return (std::filesystem::path(configFile).parent_path() / accounts).string();
}

}  // namespace

Result<Args> runFileArgs(const Options& given) {
    const auto file = given.value("config");
    if (!file) {
        return Args{};
    }
    auto config = loadConfig(*file);
    if (!config) {
        return config.error();
    }
    const RunSettings& run = config->run;
    const std::string accounts = resolvedAccounts(run.accounts, *file);
    Args out;
    for (const auto& [flag, value] :
         {std::pair{"at", &run.at}, std::pair{"items", &run.items},
          std::pair{"threads", &run.threads}, std::pair{"accounts", &accounts},
          std::pair{"name", &run.name}}) {
        if (!value->empty() && !given.has(flag)) {
            out.push_back(std::string("--") + flag);
            out.push_back(*value);
        }
    }
    return out;
}

Status refuseSimulator(const Options& given) {
    if (!given.has("no-simulator")) {
        return Ok{};
    }
    const std::string file = given.value("config").value_or("");
    auto resolved = resolveConfig(file, given.value("portal").value_or(""));
    if (!resolved) {
        return resolved.error();
    }
    if (resolved->wantsEmbedded) {
        return makeError(ErrorCode::BadInput,
                         (file.empty() ? std::string("没有 --config") : quoteBytes(file)) +
                             " 没有设定 [portal] 的主机：--no-simulator 不用内置的模拟商城，"
                             "本次未发送请求");
    }
    return Ok{};
}

bool plainInstanceName(const std::string& name) {
    return !name.empty() && name.front() != '.' &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                      c == '.';
           });
}

std::string timerDropIn(schedule::TimeOfDay at, long leadSeconds) {
    constexpr long kDay = 24 * 3600;
    const long beijing = at.hour * 3600L + at.minute * 60L + at.second;
    const long utc =
        ((beijing - schedule::kMallUtcOffsetSeconds - leadSeconds) % kDay + kDay) % kDay;
    char line[64];
    std::snprintf(line, sizeof line, "OnCalendar=*-*-* %02ld:%02ld:%02ld UTC\n", utc / 3600,
                  utc / 60 % 60, utc % 60);
    return "# Written by vellicor-cli schedule: " + std::to_string(leadSeconds) +
           " s before the set time " + schedule::formatTimeOfDay(at) +
           " (Beijing time).\n[Timer]\nOnCalendar=\n" + line;
}

}  // namespace vellicor::cli
