// vellicor-cli schedule NAME: the timer of the unattended run for /etc/vellicor/NAME.ini set
// to start the service the file's lead before its set time, as a drop-in beside the packaged
// timer, so that a new set time needs no edit of a packaged file.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/unattended.h"
#include "platform/config_resolution.h"
#include "platform/quote.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message, int code = kExitFailed) {
    std::fprintf(stderr, "vellicor-cli schedule: %s\n", message.c_str());
    return code;
}

Status writeFile(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (ec || !out) {
        return makeError(ErrorCode::Io, "无法写入 " + quoteBytes(path.string()));
    }
    return Ok{};
}

}  // namespace

int runSchedule(const Args& args) {
    auto opts = Options::parse(args, {"config-dir", "unit-dir"});
    if (!opts) {
        return fail(opts.error().message, kExitUsage);
    }
    if (opts->positional().size() != 1 || !plainInstanceName(opts->positional().front())) {
        return fail("takes one NAME (letters, digits, '-', '_', '.')", kExitUsage);
    }
    const std::string name = opts->positional().front();
    const std::filesystem::path file =
        std::filesystem::path(opts->value("config-dir").value_or("/etc/vellicor")) /
        (name + ".ini");
    auto resolved = resolveConfig(file.string(), "");
    if (!resolved) {
        return fail(resolved.error().message);
    }
    if (resolved->wantsEmbedded) {
        return fail(quoteBytes(file.string()) + " 没有设定 [portal] 的主机，服务会拒绝运行");
    }
    const RunSettings& run = resolved->config.run;
    if (run.at.empty()) {
        return fail(quoteBytes(file.string()) + " 的 [run] 没有 at（设定时刻）");
    }
    auto at = schedule::parseTimeOfDay(run.at);
    if (!at) {
        return fail(quoteBytes(file.string()) + " 的 run.at：" + at.error().message);
    }
    const std::string unit = "vellicor-exchange@" + name + ".timer";
    const auto dropIn =
        std::filesystem::path(opts->value("unit-dir").value_or("/etc/systemd/system")) /
        (unit + ".d") / "schedule.conf";
    if (auto st = writeFile(dropIn, timerDropIn(*at, run.leadSeconds)); !st) {
        return fail(st.error().message);
    }
    std::printf("已写入 %s：每天 %s（北京时间）前 %ld 秒启动\n", dropIn.c_str(),
                schedule::formatTimeOfDay(*at).c_str(), run.leadSeconds);
    std::printf("接着：systemctl daemon-reload && systemctl enable --now %s\n", unit.c_str());
    return kExitOk;
}

}  // namespace vellicor::cli
