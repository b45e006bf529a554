#pragma once
// The whole log on disk: every text of the log box, appended to one file a day,
// "vellicor-YYYY-MM-DD.log" in the user's data folder (folder 0700, files 0600), of which the
// newest `keepDays` are kept. The log box itself keeps only a tail.
//
// append() never touches the disk: a writer thread of its own does, so that a burst of tens
// of thousands of lines at the exchange instant costs the caller a queue push each. Nothing
// secret goes in: the texts are the log box's, and the log box carries no cookie, password or
// session key.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace vellicor::app {

// "vellicor-2026-03-01.log" for the local day of that instant.
std::string logFileName(const Clock& clock, Clock::WallTime at);

class LogFile {
  public:
    // The clock must outlive the object. keepDays below 1 counts as 1.
    LogFile(std::string folder, const Clock& clock, int keepDays);
    ~LogFile();  // writes what is queued, then ends the writer
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Any thread.
    void append(std::string text);
    // The file of the day as the clock reads now.
    std::string currentPath() const;
    // Waits until every text appended before the call is written (or failed to be).
    void flush();

  private:
    void writerLoop();
    void write(const std::string& text);
    bool openFor(const std::string& name);
    void prune() const;

    const std::string folder_;
    const Clock& clock_;
    const int keepDays_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::vector<std::string> queue_;
    std::uint64_t appended_ = 0;
    std::uint64_t done_ = 0;
    bool stop_ = false;
    // The writer's own.
    int fd_ = -1;
    std::string openName_;
    std::thread writer_;  // last: starts once the rest is set up
};

}  // namespace vellicor::app
