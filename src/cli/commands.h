#pragma once
// The subcommands of vellicor-cli. Each takes the arguments after its own name and returns
// the process exit code.

#include <string>
#include <vector>

namespace vellicor::cli {

using Args = std::vector<std::string>;

int runRequest(const Args& args);
int runExchange(const Args& args);
int runBalances(const Args& args);
int runSigninStatus(const Args& args);

}  // namespace vellicor::cli
