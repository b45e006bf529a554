#include "mall/backoff.h"

#include <algorithm>
#include <charconv>

#include "web/text_util.h"

namespace vellicor::mall {

std::optional<std::chrono::milliseconds> retryAfter(std::string_view replyHeaderText) {
    constexpr std::string_view kName = "Retry-After:";
    for (auto line : web::detail::splitOn(replyHeaderText, "\r\n")) {
        if (!web::detail::startsWithNoCase(line, kName)) {
            continue;
        }
        const auto value = web::detail::trimBlanks(line.substr(kName.size()));
        long long seconds = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (ec != std::errc() || end != value.data() + value.size() || seconds < 0) {
            return std::nullopt;
        }
        constexpr long long kDaySeconds = 86400;
        return std::chrono::seconds(std::min(seconds, kDaySeconds));
    }
    return std::nullopt;
}

std::chrono::milliseconds throttlePause(const ExchangeSettings& settings, int step,
                                        std::optional<std::chrono::milliseconds> serverAsks,
                                        double unit) {
    const long long most = std::max(1L, settings.throttleBackoffMaxMs);
    long long own = std::clamp<long long>(settings.throttleBackoffMs, 1, most);
    for (int i = 1; i < step && own < most; ++i) {
        own = std::min(most, own * 2);
    }
    const long long asked = serverAsks ? std::clamp<long long>(serverAsks->count(), 0, most) : 0;
    const double share = std::clamp(settings.throttleJitterPercent, 0, 100) / 100.0;
    const double draw = std::clamp(unit, 0.0, 1.0) * share;
    if (asked >= own) {
        // Coming back sooner than the server said only earns another refusal.
        const auto extra = static_cast<long long>(draw * static_cast<double>(asked));
        return std::chrono::milliseconds(std::max(1LL, asked + extra));
    }
    const auto cut = static_cast<long long>(draw * static_cast<double>(own));
    return std::chrono::milliseconds(std::max({1LL, asked, own - cut}));
}

}  // namespace vellicor::mall
