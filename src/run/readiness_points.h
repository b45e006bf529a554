#pragma once
// The readiness check's points, shared by its two halves: the accounts' and the mall's.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mall/catalogue.h"
#include "run/readiness.h"

namespace vellicor::run::detail {

// Collects the lines and logs each as it comes.
class Lines {
  public:
    Lines(const ReadinessSetup& setup, Readiness& out) : setup_(setup), out_(out) {}
    void add(Mark mark, std::string text);
    const ReadinessSetup& setup() const { return setup_; }
    const Clock& clock() const { return *setup_.clock; }

  private:
    const ReadinessSetup& setup_;
    Readiness& out_;
};

// The text without its "\r\n".
std::string withoutLineEnd(std::string line);

// "12.3" for milliseconds.
std::string millis(std::chrono::nanoseconds value);

// The account's session, balances for the games of `items`, and proxy.
void checkAccount(Lines& lines, const web::Account& account,
                  const std::vector<const mall::Item*>& items);

// What the run of `accounts` sending `requests` in all would meet at the mall, and when its
// first request would reach it.
struct MallPlan {
    std::vector<web::Account> accounts;
    int requests = 0;
    std::optional<schedule::TimeOfDay> at;
};
void checkMall(Lines& lines, const MallPlan& plan);

}  // namespace vellicor::run::detail
