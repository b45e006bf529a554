#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/runtime.h"
#include "vellicor_version.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const vellicor::cli::Args&);
    const char* usage;
};

const Command kCommands[] = {
    {"request", vellicor::cli::runRequest,
     "request URL [--method GET|POST] [--body TEXT] [--cookie STRING] [--header LINE]... "
     "[--proxy [USER:PASSWORD@]HOST:PORT]"},
    {"exchange", vellicor::cli::runExchange,
     "exchange --items ID,... --threads N [--at HH:MM:SS] [--cookie STRING | --accounts FILE] "
     "[--portal URL] [--config FILE] [--timeline FILE.csv|FILE.svg] [--name NAME] "
     "[--no-simulator]"},
    {"check", vellicor::cli::runCheck,
     "check --items ID,... --threads N [--at HH:MM:SS] [--cookie STRING | --accounts FILE] "
     "[--portal URL] [--config FILE] [--alerts] [--no-simulator]"},
    {"items", vellicor::cli::runItems, "items"},
    {"balances", vellicor::cli::runBalances,
     "balances [--cookie STRING | --accounts FILE] [--portal URL] [--config FILE]"},
    {"signin-status", vellicor::cli::runSigninStatus,
     "signin-status [--cookie STRING | --accounts FILE] [--portal URL] [--config FILE]"},
    {"notify-test", vellicor::cli::runNotifyTest, "notify-test [--config FILE]"},
    {"timeline", vellicor::cli::runTimeline,
     "timeline merge FILE.csv... [--svg FILE.svg] [--csv FILE.csv]"},
    {"schedule", vellicor::cli::runSchedule, "schedule NAME [--config-dir DIR] [--unit-dir DIR]"},
};

constexpr const char* kNotes =
    "exchange --items takes item ids (\"cf-rename,nz-famas-3d\"; `items` lists them) or the\n"
    "window's old box names (\"选择框1\").\n"
    "exchange, check, balances and signin-status without --portal and --config use the\n"
    "built-in simulator, logged in with its demo account; with either, --cookie STRING (the\n"
    "cookies of a logged-in session) or --accounts FILE is required.\n"
    "--accounts FILE: one account a line, its name, a tab, its cookie string, and optionally a\n"
    "tab and its HTTP proxy; '#' starts a comment line. balances and signin-status read every\n"
    "account, exchange runs every one at the one instant (--threads for each). For the built-in\n"
    "simulator the cookie string \"demo\" logs in the demo account the name gives (10001,\n"
    "10002, 10003).\n"
    "notify-test sends one test alert to every channel of the file's [alert] section (web hook,\n"
    "mail) and prints each one's result; it fails when a channel failed or none is set up.\n"
    "exchange also sends alerts through those channels: a win, ended sessions, throttling and\n"
    "the end of a timed run.\n"
    "exchange --timeline FILE writes when each request left, reached the mall (by the estimate\n"
    "of its clock, in a timed run) and was answered, in milliseconds from the opening (a run of\n"
    "now: from its first request): FILE.csv one row per request attempt, FILE.svg a picture.\n"
    "Each CSV row also names the machine (--name, else the host name), the opening and the\n"
    "frame its times count from; timeline merge lays several machines' CSV files of the same\n"
    "opening and frame side by side, a lane per machine, the first to reach the mall on top.\n"
    "check asks, without sending any exchange request, what the same exchange would meet: each\n"
    "account's proxy (and its tunnel's connect time), session and balances (a warning where a\n"
    "ticked item's game has none); the mall's round trip, clock offset and the width of the\n"
    "bound the aim uses, its work-time bound, the protocol ALPN settles, the streams it allows\n"
    "per connection and so the connections the run opens, whether the wave applies, and when\n"
    "the first request would reach the mall after the opening. --alerts also sends a test\n"
    "alert to every channel, then an alert naming each failure. Each point is a line marked\n"
    "通过, 警告 or 失败, each with a time-out of its own; a summary ends them.\n"
    "exchange and check --config FILE take --at, --items, --threads, --accounts (relative to\n"
    "the file's folder) and --name from the file's [run] section where the command line leaves\n"
    "them out;\n"
    "--no-simulator refuses a configuration that names no [portal] host.\n"
    "schedule NAME writes the drop-in of the timer vellicor-exchange@NAME.timer (in\n"
    "/etc/systemd/system) to start the service run.lead_seconds before run.at of\n"
    "/etc/vellicor/NAME.ini, every day.\n"
    "exit status:\n"
    "  0  done (exchange: the mall answered at least one request)\n"
    "  1  failed; the reason is on the error stream (exchange: nothing was sent; check: some\n"
    "     point failed, its line marked 失败)\n"
    "  2  the command line was not understood\n"
    "  3  exchange: requests were sent, but none got an answer from the mall\n"
    "  4  exchange: requests were sent, then the --timeline file could not be written\n";

// The one usage text: the error stream gets it for a command line not understood, the
// standard output for --help (and the manual page is made from that).
void printUsage(std::FILE* out) {
    std::fprintf(out, "usage:\n");
    for (const auto& c : kCommands) {
        std::fprintf(out, "  vellicor-cli %s\n", c.usage);
    }
    std::fprintf(out, "  vellicor-cli --help | --version\n");
    std::fputs(kNotes, out);
}

int usage() {
    printUsage(stderr);
    return vellicor::cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    vellicor::raiseDescriptorLimit();
    if (argc < 2) {
        return usage();
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h") {
        printUsage(stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("vellicor-cli %s\n", vellicor::kProgramVersion);
        return 0;
    }
    const vellicor::cli::Args args(argv + 2, argv + argc);
    for (const auto& c : kCommands) {
        if (name == c.name) {
            return c.run(args);
        }
    }
    return usage();
}
