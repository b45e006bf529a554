#pragma once
// The readiness check: what a run would meet, asked before the sale without sending any
// exchange request. Each account's session, balances and proxy; the mall's clock, its work,
// round trip, protocol and stream limit; when the first request would reach it; and, when
// asked, a test alert on every channel. One line per point, marked 通过 / 警告 / 失败, each
// point bounded by its own time-out, so that a mall or proxy that does not answer is a line
// and never a hang.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mall/balances.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/services.h"
#include "run/timed_run.h"
#include "schedule/time_of_day.h"

namespace vellicor::alert {
class Alerter;
}  // namespace vellicor::alert

namespace vellicor::run {

enum class Mark { Pass, Warn, Fail };

struct CheckLine {
    Mark mark = Mark::Pass;
    std::string text;  // without the mark and the line end
};

struct ReadinessSetup {
    Config config;
    const Clock* clock = &SystemClock::instance();
    // Each line as it is found, whole, "\r\n" at its end; from the checking thread.
    LogSink log;
    // The channels the test alerts go to, and one alert naming every failure; null: no alerts.
    std::shared_ptr<alert::Alerter> alerter;
    // As the timed run asks; empty: mall::checkSession.
    std::function<mall::SessionState(const web::Account&)> sessionCheck;
};

struct ReadinessInput {
    RunInput run;
    std::optional<schedule::TimeOfDay> at;  // the set time; none: a run of now
};

struct Readiness {
    std::vector<CheckLine> lines;  // the summary not among them
    int count(Mark mark) const;
    bool ready() const { return count(Mark::Fail) == 0; }
};

// "[通过] text\r\n".
std::string checkLineText(const CheckLine& line);
// "检查完毕：通过 9 项，警告 1 项，失败 0 项，可以兑换\r\n".
std::string readinessSummary(const Readiness& readiness);

// Blocking; off the front end's thread. Logs every line, then the summary.
Readiness checkReadiness(const ReadinessSetup& setup, const ReadinessInput& input);

}  // namespace vellicor::run
