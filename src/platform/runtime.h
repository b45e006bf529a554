#pragma once
// Runtime services every part of the logic may use: the local date and time, the descriptor
// limit, the message-box rules and the fatal error report. No window is needed for any of them; the
// message box and the address opener arrive as injected services (platform/services.h).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/services.h"

namespace vellicor {

// A date value: days since 30 December 1899, the time of day as the fraction.
using DateValue = double;

// The local date and time, to the whole second, as a date value.
DateValue currentDateValue(const Clock& clock = SystemClock::instance());
// The date value of a local civil time given as seconds since 1970-01-01 00:00 (local).
DateValue dateValueFromLocalSeconds(long long localSeconds);
int dateHour(DateValue value);    // 0..23
int dateMinute(DateValue value);  // 0..59
int dateSecond(DateValue value);  // 0..59

// A run keeps a connection a request (and, in the demo, the simulator's side of each): the
// programs raise their descriptor limit to the hard limit once at start.
void raiseDescriptorLimit();

// Shows a message box through the service: the caption defaults to "信息：" when none (or an
// empty one) is given, task-modal is added unless system-modal is asked for, and an answer
// outside 0..6 comes back as 0 (OK).
int messageBox(MessageBoxService& service, const std::string& text, unsigned flags = 0,
               const std::optional<std::string>& caption = std::nullopt);

inline constexpr const char* kDefaultCaption = "信息：";
inline constexpr int kRuntimeErrorExitCode = -1;
inline constexpr const char* kWindowLoadFailed = "载入启动窗口失败";

// The runtime error report's text for a message.
std::string runtimeErrorText(const std::string& message);
// The message for an allocation of that many bytes that failed.
std::string allocationFailureMessage(std::size_t bytes);

// Shows the runtime error report through the service and returns the exit code the program
// must end with (-1).
int reportRuntimeError(MessageBoxService& service, const std::string& message);

// The fatal path for failures deep inside the program (a failed allocation): the reporter
// installed here shows the text; without one it goes to standard error. Then the process
// ends with exit code -1 without running further destructors.
using FatalReporter = std::function<void(const std::string& reportText)>;
void setFatalReporter(FatalReporter reporter);
[[noreturn]] void failFatally(const std::string& message);

}  // namespace vellicor
