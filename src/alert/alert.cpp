#include "alert/alert.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <random>
#include <utility>

namespace vellicor::alert {
namespace {

// 128 random bits: ids of alerts from many starts of the tool never meet at one receiver.
std::string freshId() {
    std::random_device device;
    std::array<unsigned, 4> words{};
    for (unsigned& w : words) {
        w = device();
    }
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", words[0], words[1], words[2], words[3]);
    return text;
}

std::string localTime(std::chrono::system_clock::time_point at) {
    const std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::tm parts{};
    localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

const char* kindWord(AlertKind kind) {
    switch (kind) {
        case AlertKind::Win:
            return "抢到了";
        case AlertKind::SessionEnded:
            return "会话已失效";
        case AlertKind::Throttled:
            return "商城开始限流";
        case AlertKind::RunEnded:
            return "定时兑换结束";
        case AlertKind::NotReady:
            return "兑换前检查未通过";
        case AlertKind::Test:
            break;
    }
    return "测试提醒";
}

}  // namespace

Alert makeAlert(AlertKind kind, std::string item, std::string account, std::string outcome,
                std::chrono::system_clock::time_point at) {
    return Alert{freshId(),          kind,         std::move(item), std::move(account),
                 std::move(outcome), localTime(at)};
}

Alert makeAlert(AlertKind kind, std::string item, std::string account, std::string outcome) {
    return makeAlert(kind, std::move(item), std::move(account), std::move(outcome),
                     std::chrono::system_clock::now());
}

std::string headline(const Alert& alert) {
    std::string line = std::string("Vellicor：") + kindWord(alert.kind);
    if (!alert.item.empty()) {
        line += " " + alert.item;
    }
    if (!alert.account.empty()) {
        line += "（" + alert.account + "）";
    }
    return line;
}

std::string bodyText(const Alert& alert) {
    std::string text = headline(alert) + "\n\n";
    if (!alert.item.empty()) {
        text += "物品：" + alert.item + "\n";
    }
    if (!alert.account.empty()) {
        text += "帐号：" + alert.account + "\n";
    }
    text += "结果：" + alert.outcome + "\n";
    text += "时间：" + alert.time + "\n";
    return text;
}

}  // namespace vellicor::alert
