#pragma once
// One alert for the user away from the computer, as every channel sends it.

#include <chrono>
#include <string>

namespace vellicor::alert {

enum class AlertKind { Win, SessionEnded, Throttled, RunEnded, Test, NotReady };

struct Alert {
    // Stays the same over every attempt and channel, so that a receiver that got an attempt
    // which then hung can tell the next one is no new alert.
    std::string id;
    AlertKind kind = AlertKind::Test;
    std::string item;     // the item's caption; empty where the alert is about no one item
    std::string account;  // the account's name; empty for a run on a bare session
    std::string outcome;  // what happened, one line
    std::string time;     // when, "2026-12-09 16:30:00" on the computer's clock
};

// A fresh id and the time of now filled in.
Alert makeAlert(AlertKind kind, std::string item, std::string account, std::string outcome);
Alert makeAlert(AlertKind kind, std::string item, std::string account, std::string outcome,
                std::chrono::system_clock::time_point at);

// The line that heads the alert: the mail's subject, the hook's title.
std::string headline(const Alert& alert);
// The alert as lines of text: the mail's body.
std::string bodyText(const Alert& alert);

}  // namespace vellicor::alert
