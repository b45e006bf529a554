#pragma once
// Runs a program as a user would from a shell, for the tests of the front ends.

#include <string>

namespace vellicor::test {

struct CommandRun {
    int exitCode = -1;  // -1 when it could not be started or did not exit normally
    std::string out;    // its standard output (and whatever the command line sends there)
};

// commandLine goes to the shell as it is: arguments already quoted, redirections included.
CommandRun runCommand(const std::string& commandLine);

}  // namespace vellicor::test
