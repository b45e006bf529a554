#pragma once
// What `exchange` and `check` share of their command line: the run's items, threads, set
// time and sessions, the configuration file's [run] section standing in for flags left out,
// and how a log line reaches the terminal.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "platform/result.h"
#include "schedule/time_of_day.h"

namespace vellicor::cli {

enum class RunCommand { Exchange, Check };

// The command's own options only; `withRunFile` adds the [run] section's where the command
// line is silent.
Result<Options> runOptions(const Args& args, RunCommand command);
Result<Options> runOptionsWithFile(const Args& args, RunCommand command);

// The refusals `exchange` and `check` share before anything is asked of the mall: the
// options as the command sees them, or why not and the exit status that says so.
struct RunRefusal {
    std::string message;
    int exitCode;
};
std::variant<Options, RunRefusal> checkedRunOptions(const Args& args, RunCommand command);

// What the command line asked for, checked before anything is sent, the demo login included.
struct RunRequest {
    std::vector<std::string> items;
    std::string threads;
    std::optional<schedule::TimeOfDay> at;
    std::optional<std::string> timeline;
};
Result<RunRequest> runRequestOf(const Options& opts);

std::vector<std::string> splitNames(const std::string& text);

// A log text as the terminal wants it: without the "\r" of the log box, also between the
// lines of a text of several (the run's summary).
void printLine(const std::string& text);

}  // namespace vellicor::cli
