#include <cstdio>

#include "cli/commands.h"

namespace vellicor::cli {

int runBalances(const Args&) {
    std::fprintf(stderr, "this command is not available in this build\n");
    return 2;
}

}  // namespace vellicor::cli
