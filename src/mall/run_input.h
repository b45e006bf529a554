#pragma once
// Checks of what a run starts from: the worker field, the ticked boxes, the session. Each
// refusal carries the log line that tells the user why nothing was sent.

#include <string>
#include <string_view>
#include <vector>

#include "mall/catalogue.h"
#include "platform/clock.h"
#include "platform/result.h"
#include "web/accounts.h"

namespace vellicor::mall {

// The worker count field (the window's 线程 field) as a count in 1..maxWorkers. Blanks around the
// digits are forgiven; anything else (empty, signs, 0, letters, more than the maximum) is refused:
// every request may spend tickets, so the tool never sends another number than the one typed.
Result<int> parseWorkerCount(std::string_view text, int maxWorkers);

struct RunPlan {
    std::vector<const Item*> items;
    int perItem = 0;  // N: sends of every item, for every account
    // Each sends every item N times, its requests carrying its own session (and going through
    // its proxy) only. At least one; a bare cookie string is an account of no name.
    std::vector<web::Account> accounts;
    // The lines, the summary and the picture name each request's account. Set for a run of
    // several, and kept when the run was set up for several and only one is left.
    bool namedAccounts = false;
};

// Everything checked in the order the user would fix it; the error message is the line. Each
// account must have a session of one line; with several, the lines name the accounts.
Result<RunPlan> planRun(const std::vector<std::string>& ticked, std::string_view workerField,
                        const std::vector<web::Account>& accounts, int maxWorkers);

// "开始兑换：2 个商品，每个 3 个请求，共 6 个", naming the count of accounts when several.
std::string startLine(const RunPlan& plan);

}  // namespace vellicor::mall
