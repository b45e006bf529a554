#pragma once
// Runtime services every part of the logic may use: pause, clock readings, threads, files,
// the message-box rules and the fatal error report. No window is needed for any of them; the
// message box and the address opener arrive as injected services (platform/services.h).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/services.h"

namespace vellicor {

// Suspends the calling thread; a negative duration counts as 0.
void sleepMs(long long milliseconds, const Clock& clock = SystemClock::instance());

// Milliseconds since the system started, as a 32-bit count that wraps.
std::uint32_t tickCount(const Clock& clock = SystemClock::instance());

// A date value: days since 30 December 1899, the time of day as the fraction.
using DateValue = double;

// The local date and time, to the whole second, as a date value.
DateValue currentDateValue(const Clock& clock = SystemClock::instance());
// The date value of a local civil time given as seconds since 1970-01-01 00:00 (local).
DateValue dateValueFromLocalSeconds(long long localSeconds);
int dateHour(DateValue value);    // 0..23
int dateMinute(DateValue value);  // 0..59
int dateSecond(DateValue value);  // 0..59

// Starts a thread that runs routine(parameter). Without a handle the thread runs detached;
// with one, the caller owns the thread (and must join or detach it). False when the system
// could not create the thread.
bool startThread(std::function<void(long)> routine, long parameter = 0,
                 std::thread* handle = nullptr);

// Creates (or replaces) the file and writes the parts one after another, skipping empty
// ones. False for an empty name or when the file cannot be opened or fully written.
bool writeFile(const std::string& fileName, const std::vector<std::string_view>& parts);

// The running program's file name, without its directory.
std::string programFileName();

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
