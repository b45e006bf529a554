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

// One account taking part in a run: its requests carry its own session only.
struct RunAccount {
    std::string name;     // in the lines and the summary when a run has several
    std::string cookies;  // its session cookie string
    std::string proxy;    // its own HTTP proxy; empty: the configuration's
};

struct RunPlan {
    std::vector<const Item*> items;
    int perItem = 0;      // N: sends of every item, for every account
    std::string cookies;  // the session cookie string, copied for the run
    // Several accounts, each sending every item N times; empty: one, with `cookies`.
    std::vector<RunAccount> accounts{};

    // The accounts as the run sends for them: at least one.
    std::vector<RunAccount> sendingAccounts() const;
};

// Everything checked in the order the user would fix it; the error message is the line.
Result<RunPlan> planRun(const std::vector<std::string>& ticked, std::string_view workerField,
                        const std::string& cookies, int maxWorkers);

// The same for several accounts: each must have a session of one line. A single account
// gives the plan of one (its lines as they always were).
Result<RunPlan> planRun(const std::vector<std::string>& ticked, std::string_view workerField,
                        const std::vector<RunAccount>& accounts, int maxWorkers);

// "开始兑换：2 个商品，每个 3 个请求，共 6 个", naming the count of accounts when several.
std::string startLine(const RunPlan& plan);

// "HH:MM:SS" (one or two digits each) as seconds since local midnight.
Result<int> parseTimeOfDay(std::string_view text);

}  // namespace vellicor::mall
