// Three accounts × every tickable item × 1,000 requests in one headless run, against one
// account's run of the same items:
// - peak resident memory of `vellicor-cli exchange` (a child, against the simulator in a
//   process of its own; median of three runs each);
// - each account's share of the first 1,000 requests the mall received (kernel receive
//   times of the simulator in this process, plain HTTP, one run).
// The section "## Several accounts" of bench/RESULTS.md is rewritten, and only it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/child_process.h"
#include "bench/results_section.h"
#include "mall/catalogue.h"
#include "mall/exchange_run.h"
#include "platform/clock.h"
#include "portal/server.h"

namespace {

constexpr int kAccounts = 3;
constexpr int kPerItem = 1000;
constexpr std::size_t kFirst = 1000;

std::string cookieOf(int account) {
    const std::string uin = std::to_string(10001 + account);
    return "uin=o" + uin + "; skey=key" + uin;
}

std::string scenario() {
    std::string sessions;
    for (int a = 0; a < kAccounts; ++a) {
        const std::string uin = std::to_string(10001 + a);
        sessions += (a == 0 ? "" : ", ") + ("\"" + uin + "\": \"key" + uin + "\"");
    }
    return R"({"sessions": {)" + sessions + R"(}, "itemDefaults": {"price": 0, "stock": 1000000}})";
}

std::vector<std::string> tickable() {
    std::vector<std::string> ids;
    for (const auto& item : vellicor::mall::items()) {
        if (item.enabled) {
            ids.emplace_back(item.id);
        }
    }
    return ids;
}

std::string joined(const std::vector<std::string>& ids) {
    std::string names;
    for (const auto& id : ids) {
        names += (names.empty() ? "" : ",") + id;
    }
    return names;
}

// Runs the CLI once with these session arguments; its peak resident set in KiB, or -1.
long peakKib(const std::string& portal, const std::string& config,
             std::vector<std::string> session) {
    std::vector<std::string> args = {
        VELLICOR_CLI_PATH,        "exchange", "--items", joined(tickable()), "--threads",
        std::to_string(kPerItem), "--portal", portal,    "--config",         config};
    args.insert(args.end(), session.begin(), session.end());
    return vellicor::bench::childPeakKib(std::move(args));
}

double medianMb(std::vector<long> v) {
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[v.size() / 2]) / 1024.0;
}

std::string startPortal(const std::string& scenarioFile, pid_t& pid) {
    return vellicor::bench::startPortalProcess(VELLICOR_PORTAL_PATH, scenarioFile, pid);
}

struct Memory {
    double one = 0;
    double three = 0;
};

Memory measureMemory() {
    const std::string scenarioFile = "/tmp/vellicor-bench-accounts.json";
    std::ofstream(scenarioFile) << scenario();
    const std::string config = "/tmp/vellicor-bench-accounts.ini";
    std::ofstream(config) << "[exchange]\nmax_threads = 1000\n";
    const std::string accounts = "/tmp/vellicor-bench-accounts.txt";
    {
        std::ofstream file(accounts);
        for (int a = 0; a < kAccounts; ++a) {
            file << "帐号" << (a + 1) << "\t" << cookieOf(a) << "\n";
        }
    }
    pid_t portalPid = -1;
    const std::string portal = startPortal(scenarioFile, portalPid);
    Memory m;
    if (portal.empty()) {
        return m;
    }
    std::vector<long> one;
    std::vector<long> three;
    for (int run = 0; run < 3; ++run) {
        one.push_back(peakKib(portal, config, {"--cookie", cookieOf(0)}));
        three.push_back(peakKib(portal, config, {"--accounts", accounts}));
    }
    kill(portalPid, SIGTERM);
    waitpid(portalPid, nullptr, 0);
    m.one = medianMb(one);
    m.three = medianMb(three);
    return m;
}

// Each account's count among the first requests the mall received, in the accounts' order.
std::vector<int> firstShare() {
    using namespace vellicor;
    auto server = portal::Server::start(scenario());
    if (!server) {
        return {};
    }
    Config config = Config::defaults().withPortal((*server)->baseUrl());
    config.exchange.maxWorkers = kPerItem;
    mall::RunPlan plan;
    for (const auto& id : tickable()) {
        plan.items.push_back(mall::findItem(id));
    }
    plan.perItem = kPerItem;
    for (int a = 0; a < kAccounts; ++a) {
        plan.accounts.push_back(web::makeAccount("帐号" + std::to_string(a + 1), cookieOf(a)));
        plan.namedAccounts = true;
    }
    mall::RunOptions options;
    options.fireAt = SystemClock::instance().steadyNow() + std::chrono::seconds(5);
    auto run = mall::ExchangeRun::start(
        plan, config, SystemClock::instance(), [](const std::string&) {}, {}, options);
    run->wait();
    auto log = (*server)->log();
    std::erase_if(log, [](const portal::LoggedRequest& r) {
        return r.target.find("op=exchangeing") == std::string::npos;
    });
    std::sort(log.begin(), log.end(),
              [](const auto& x, const auto& y) { return x.arrivalNanos < y.arrivalNanos; });
    std::vector<int> share(kAccounts, 0);
    for (std::size_t i = 0; i < std::min(kFirst, log.size()); ++i) {
        for (int a = 0; a < kAccounts; ++a) {
            share[static_cast<std::size_t>(a)] += log[i].cookies == cookieOf(a) ? 1 : 0;
        }
    }
    return share;
}

}  // namespace

int main() {
    const std::string loadBefore = vellicor::bench::loadAverage();
    const Memory memory = measureMemory();
    const std::vector<int> share = firstShare();
    const std::string loadAfter = vellicor::bench::loadAverage();
    const std::size_t items = tickable().size();
    char table[2048];
    std::snprintf(table, sizeof table,
                  "\n\n| run | requests | peak MB | ratio to one account's |\n|---|---|---|---|\n"
                  "| one account: %zu items × %d | %zu | %.1f | 1.00 |\n"
                  "| %d accounts: %zu items × %d each | %zu | %.1f | %.2f |\n\n",
                  items, kPerItem, items * kPerItem, memory.one, kAccounts, items, kPerItem,
                  items * kPerItem * kAccounts, memory.three,
                  memory.one > 0 ? memory.three / memory.one : 0.0);
    std::string text = table;
    text += "First " + std::to_string(kFirst) + " requests the mall received, by account:";
    for (std::size_t a = 0; a < share.size(); ++a) {
        text += (a == 0 ? " " : ", ") + ("帐号" + std::to_string(a + 1)) + " " +
                std::to_string(share[a]);
    }
    text += " (a fair share is " + std::to_string(kFirst / kAccounts) + " each).\n";
    const std::string section =
        vellicor::bench::sectionHeader(
            "## Several accounts",
            "`build/dev/bin/vellicor-bench-accounts`: peak resident set of `vellicor-cli "
            "exchange` (ru_maxrss of the child, median of three runs) with one account and "
            "with three in one run, against the simulator in a process of its own; then one "
            "timed run of the three in this process, its first requests by kernel receive "
            "time.  \n",
            loadBefore, loadAfter) +
        text;
    std::fputs(section.c_str(), stdout);
    const std::string results = vellicor::bench::replaceSubsection(
        vellicor::bench::readResults(VELLICOR_RESULTS_FILE), vellicor::bench::kSimulatorHeading,
        "## Several accounts", section);
    std::ofstream(VELLICOR_RESULTS_FILE) << results;
    return share.empty() ? 1 : 0;
}
