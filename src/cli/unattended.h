#pragma once
// What the systemd service's runs need of the command line: the [run] section of the
// configuration file standing in for flags left out, the refusal of the built-in simulator,
// and the timer's drop-in that `schedule` writes.

#include <string>

#include "cli/options.h"
#include "platform/config.h"
#include "platform/result.h"
#include "schedule/time_of_day.h"

namespace vellicor::cli {

// The flags the file's [run] section gives that `given` lacks (--at, --items, --threads,
// --accounts, --name), to be appended to the command line; none without --config.
Result<Args> runFileArgs(const Options& given);

// With --no-simulator, a configuration that names no portal host is refused: an unattended
// run against the built-in simulator would send nothing real and say so to nobody.
Status refuseSimulator(const Options& given);

// A name of an instance (NAME of /etc/vellicor/NAME.ini): letters, digits, '-', '_', '.',
// not starting with '.'.
bool plainInstanceName(const std::string& name);

// The timer's drop-in: daily, `lead` before the Beijing time `at`, written in UTC so that the
// computer's zone does not matter.
std::string timerDropIn(schedule::TimeOfDay at, long leadSeconds);

}  // namespace vellicor::cli
