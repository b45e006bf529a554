#pragma once
// How long a worker waits before asking again after a "too many requests" answer.

#include <chrono>
#include <optional>
#include <string_view>

#include "platform/config.h"

namespace vellicor::mall {

// The Retry-After of a reply header text, when it gives whole seconds (a date is ignored:
// the mall's clock is not the tool's).
std::optional<std::chrono::milliseconds> retryAfter(std::string_view replyHeaderText);

// The pause after the `step`-th throttled answer of one worker (1 for the first): the
// configured start doubled per step up to the maximum, raised to the server's Retry-After
// within that maximum. `unit` (a draw in [0, 1)) times the jitter share spreads it: our own
// pause is cut by that part, never below what the server asked; a pause the server set is
// lengthened by it, past the maximum if need be.
std::chrono::milliseconds throttlePause(const ExchangeSettings& settings, int step,
                                        std::optional<std::chrono::milliseconds> serverAsks,
                                        double unit);

}  // namespace vellicor::mall
