#pragma once
// Checks of what a run starts from: the worker field, the ticked boxes, the session. Each
// refusal carries the log line that tells the user why nothing was sent.

#include <string>
#include <string_view>
#include <vector>

#include "mall/catalogue.h"
#include "platform/clock.h"
#include "platform/result.h"

namespace vellicor::mall {

// The worker count field (the window's 线程 field) as a count in 1..maxWorkers. Blanks around the
// digits are forgiven; anything else (empty, signs, 0, letters, more than the maximum) is refused:
// every request may spend tickets, so the tool never sends another number than the one typed.
Result<int> parseWorkerCount(std::string_view text, int maxWorkers);

struct RunPlan {
    std::vector<const Item*> items;
    int perItem = 0;      // N: sends of every item
    std::string cookies;  // the session cookie string, copied for the run
};

// Everything checked in the order the user would fix it; the error message is the line.
Result<RunPlan> planRun(const std::vector<std::string>& ticked, std::string_view workerField,
                        const std::string& cookies, int maxWorkers);

// "HH:MM:SS" (one or two digits each) as seconds since local midnight.
Result<int> parseTimeOfDay(std::string_view text);

}  // namespace vellicor::mall
