// Peak resident memory of the headless front end for a run of every tickable item at 1,000
// requests each, against the simulator in a process of its own. The kernel's peak for a
// child counts the memory of the process it was forked from, so this one stays small. The baseline
// is the same run at one request per item. Each row is the median of three runs; the section "##
// Memory" of bench/RESULTS.md is rewritten, and only it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/child_process.h"
#include "bench/results_section.h"
#include "mall/catalogue.h"

namespace {

constexpr const char* kCookies = "uin=o10001; skey=memorykey";

std::string tickable() {
    std::string names;
    for (const auto& item : vellicor::mall::items()) {
        if (item.enabled) {
            names += (names.empty() ? "" : ",") + std::string(item.id);
        }
    }
    return names;
}

// Runs the CLI once; its peak resident set in KiB, or -1.
long peakKib(const std::string& portal, const std::string& config, int perItem) {
    return vellicor::bench::childPeakKib({VELLICOR_CLI_PATH, "exchange", "--items", tickable(),
                                          "--threads", std::to_string(perItem), "--portal", portal,
                                          "--cookie", kCookies, "--config", config});
}

long median(std::vector<long> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Rewrites "## Memory" alone; every other section of the results stays as it was.
void writeSection(const std::string& section) {
    const std::string text = vellicor::bench::replaceSubsection(
        vellicor::bench::readResults(VELLICOR_RESULTS_FILE), vellicor::bench::kSimulatorHeading,
        "## Memory", section);
    std::ofstream(VELLICOR_RESULTS_FILE) << text;
}

// Starts the simulator with the scenario; its address, read from its first line.
std::string startPortal(const std::string& scenario, pid_t& pid) {
    return vellicor::bench::startPortalProcess(VELLICOR_PORTAL_PATH, scenario, pid);
}

}  // namespace

int main() {
    const std::string loadBefore = vellicor::bench::loadAverage();
    const std::string scenario = "/tmp/vellicor-bench-memory.json";
    std::ofstream(scenario)
        << R"({"sessions": {"10001": "memorykey"}, "itemDefaults": {"price": 0, "stock": 1000000}})";
    pid_t portalPid = -1;
    const std::string portal = startPortal(scenario, portalPid);
    if (portal.empty()) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const std::string config = "/tmp/vellicor-bench-memory.ini";
    std::ofstream(config) << "[exchange]\nmax_threads = 1000\n";
    const std::string names = tickable();
    const int items = static_cast<int>(std::count(names.begin(), names.end(), ',') + 1);
    std::vector<long> small;
    std::vector<long> large;
    for (int run = 0; run < 3; ++run) {
        small.push_back(peakKib(portal, config, 1));
        large.push_back(peakKib(portal, config, 1000));
    }
    const std::string loadAfter = vellicor::bench::loadAverage();
    const double baseMb = static_cast<double>(median(small)) / 1024.0;
    const double runMb = static_cast<double>(median(large)) / 1024.0;
    char table[1024];
    std::snprintf(table, sizeof table,
                  "\n\n| run | requests | peak MB | ratio to baseline |\n|---|---|---|---|\n"
                  "| baseline: %d items × 1 | %d | %.1f | 1.00 |\n"
                  "| %d items × 1,000 | %d | %.1f | %.2f |\n\n"
                  "Target: the %d × 1,000 run peaks at 150 MB or less: %s.\n",
                  items, items, baseMb, items, items * 1000, runMb, runMb / baseMb, items,
                  runMb <= 150.0 ? "met" : "missed");
    const std::string section =
        vellicor::bench::sectionHeader(
            "## Memory",
            "Peak resident set of `vellicor-cli exchange` (kernel's ru_maxrss of the child), "
            "median of three runs, against the simulator in a process of its own.  \n",
            loadBefore, loadAfter) +
        table;
    std::fputs(section.c_str(), stdout);
    writeSection(section);
    kill(portalPid, SIGTERM);
    waitpid(portalPid, nullptr, 0);
    return 0;
}
