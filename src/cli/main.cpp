#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/runtime.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const vellicor::cli::Args&);
    const char* usage;
};

const Command kCommands[] = {
    {"request", vellicor::cli::runRequest,
     "request URL [--method GET|POST] [--body TEXT] [--cookie STRING] [--header LINE]... "
     "[--proxy HOST:PORT]"},
    {"exchange", vellicor::cli::runExchange,
     "exchange --items NAMES --threads N [--at HH:MM:SS] [--cookie STRING] [--portal URL] "
     "[--config FILE]"},
    {"balances", vellicor::cli::runBalances,
     "balances [--cookie STRING] [--portal URL] [--config FILE]"},
    {"signin-status", vellicor::cli::runSigninStatus,
     "signin-status [--cookie STRING] [--portal URL] [--config FILE]"},
};

int usage() {
    std::fprintf(stderr, "usage:\n");
    for (const auto& c : kCommands) {
        std::fprintf(stderr, "  vellicor-cli %s\n", c.usage);
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vellicor::raiseDescriptorLimit();
    if (argc < 2) {
        return usage();
    }
    const std::string name = argv[1];
    const vellicor::cli::Args args(argv + 2, argv + argc);
    for (const auto& c : kCommands) {
        if (name == c.name) {
            return c.run(args);
        }
    }
    return usage();
}
