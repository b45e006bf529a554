// vellicor-cli notify-test: one test alert to every channel of the configuration's [alert]
// section, each channel's result on a line of its own, so that a channel that would stay
// silent on the day of a sale shows now.

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "alert/alerter.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "platform/config.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message, int code = kExitFailed) {
    std::fprintf(stderr, "vellicor-cli notify-test: %s\n", message.c_str());
    return code;
}

void printText(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int runNotifyTest(const Args& args) {
    auto opts = Options::parse(args, {"config"});
    if (!opts) {
        return fail(opts.error().message, kExitUsage);
    }
    if (!opts->positional().empty()) {
        return fail("unexpected argument " + opts->positional().front(), kExitUsage);
    }
    Config config = Config::defaults();
    if (auto file = opts->value("config")) {
        auto loaded = loadConfig(*file);
        if (!loaded) {
            return fail(loaded.error().message);
        }
        config = std::move(loaded.value());
    }
    if (!config.alert.any()) {
        return fail("没有配置提醒渠道：请在配置文件的 [alert] 一节设置 webhook_url 或 smtp_url");
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<alert::ChannelResult> results;
    alert::Alerter alerter(config, printText);
    alerter.test(alert::makeAlert(alert::AlertKind::Test, "测试提醒", {},
                                  "提醒渠道可用：抢到物品时会这样通知你"),
                 [&](const alert::ChannelResult& result) {
                     std::lock_guard lock(mutex);
                     results.push_back(result);
                     arrived.notify_one();
                 });
    // Each channel answers once, within its one attempt's time-out.
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return results.size() == alerter.channels(); });
    bool allSent = true;
    for (const alert::ChannelResult& result : results) {
        printText(alert::resultLine(result));
        allSent = allSent && result.status.ok();
    }
    return allSent ? kExitOk : kExitFailed;
}

}  // namespace vellicor::cli
