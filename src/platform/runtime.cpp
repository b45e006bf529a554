#include "platform/runtime.h"

#include <sys/resource.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace vellicor {
namespace {

constexpr long long kSecondsPerDay = 86400;
// 1970-01-01 counted in days from 1899-12-30.
constexpr long long kUnixEpochDay = 25569;

// Seconds into the day of a date value; the fraction's sign carries no meaning for times.
long long secondsOfDay(DateValue value) {
    const double fraction = std::fabs(value - std::trunc(value));
    const long long seconds = std::llround(fraction * kSecondsPerDay);
    return seconds % kSecondsPerDay;
}

std::mutex& reporterMutex() {
    static std::mutex mutex;
    return mutex;
}

FatalReporter& fatalReporter() {
    static FatalReporter reporter;
    return reporter;
}

}  // namespace

DateValue dateValueFromLocalSeconds(long long localSeconds) {
    long long days = localSeconds / kSecondsPerDay;
    long long rest = localSeconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    return static_cast<double>(days + kUnixEpochDay) +
           static_cast<double>(rest) / static_cast<double>(kSecondsPerDay);
}

DateValue currentDateValue(const Clock& clock) {
    const auto wall = clock.wallNow();
    const auto utc = std::chrono::floor<std::chrono::seconds>(wall.time_since_epoch()).count();
    return dateValueFromLocalSeconds(utc + clock.utcOffsetSeconds(wall));
}

int dateHour(DateValue value) {
    return static_cast<int>(secondsOfDay(value) / 3600);
}
int dateMinute(DateValue value) {
    return static_cast<int>(secondsOfDay(value) / 60 % 60);
}
int dateSecond(DateValue value) {
    return static_cast<int>(secondsOfDay(value) % 60);
}

int messageBox(MessageBoxService& service, const std::string& text, unsigned flags,
               const std::optional<std::string>& caption) {
    if ((flags & mbflags::SystemModal) == 0) {
        flags |= mbflags::TaskModal;
    }
    const std::string title = caption && !caption->empty() ? *caption : kDefaultCaption;
    const int answer = service.show(text, flags, title);
    return answer >= AnswerOk && answer <= AnswerNo ? answer : AnswerOk;
}

std::string runtimeErrorText(const std::string& message) {
    return "运行时出错!\r\n\r\n错误信息：" + message + "\r\n";
}

std::string allocationFailureMessage(std::size_t bytes) {
    return "分配 " + std::to_string(bytes) + " 字节内存失败!";
}

int reportRuntimeError(MessageBoxService& service, const std::string& message) {
    messageBox(service, runtimeErrorText(message), mbflags::IconError);
    return kRuntimeErrorExitCode;
}

void setFatalReporter(FatalReporter reporter) {
    std::lock_guard lock(reporterMutex());
    fatalReporter() = std::move(reporter);
}

void failFatally(const std::string& message) {
    // Showing the report may itself allocate and fail again; the second time round there
    // is nothing left to do but end.
    static std::atomic<bool> failing{false};
    if (failing.exchange(true)) {
        std::_Exit(kRuntimeErrorExitCode);
    }
    const std::string text = runtimeErrorText(message);
    {
        std::lock_guard lock(reporterMutex());
        if (fatalReporter()) {
            fatalReporter()(text);
        } else {
            std::fputs(text.c_str(), stderr);
        }
    }
    std::fflush(nullptr);
    std::_Exit(kRuntimeErrorExitCode);
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace vellicor
