#include "run_command.h"

#include <sys/wait.h>

#include <cstdio>

namespace vellicor::test {

CommandRun runCommand(const std::string& commandLine) {
    CommandRun run;
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, pipe)) > 0;) {
        run.out.append(block, n);
    }
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace vellicor::test
