#pragma once
// The subcommands of vellicor-cli. Each takes the arguments after its own name and returns
// the process exit code.

#include <string>
#include <vector>

namespace vellicor::cli {

using Args = std::vector<std::string>;

// The exit codes of every subcommand; main.cpp's usage text lists them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // an error, with its message on the error stream
inline constexpr int kExitUsage = 2;     // the command line was not understood
inline constexpr int kExitNoAnswer = 3;  // exchange: no request got an answer from the mall
// exchange: the requests were sent, then something failed (the picture's file, a full disk)
inline constexpr int kExitSentButFailed = 4;

int runRequest(const Args& args);
int runExchange(const Args& args);
int runCheck(const Args& args);  // the readiness check of the run exchange would make
int runItems(const Args& args);  // the catalogue: each item's id, game and caption
int runBalances(const Args& args);
int runSigninStatus(const Args& args);
int runNotifyTest(const Args& args);  // a test alert to every configured channel
int runTimeline(const Args& args);    // timeline merge: several machines' runs in one picture
int runSchedule(const Args& args);    // the systemd timer's drop-in for /etc/vellicor/NAME.ini

}  // namespace vellicor::cli
