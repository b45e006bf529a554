#pragma once
// The whole log on disk: every text of the log box, appended to one file a day,
// "vellicor-YYYY-MM-DD.log" in the user's data folder (folder 0700, files 0600). The newest
// `keepDays` days are kept, their logs and the runs' pictures saved beside them
// (app/timeline_view.h). The log box itself keeps only a tail.
//
// append() never touches the disk: a writer thread of its own does, so that a burst of tens
// of thousands of lines at the exchange instant costs the caller a queue push each. Nothing
// secret goes in: the texts are the log box's, and the log box carries no cookie, password or
// session key.
//
// The file of the day is opened at once. Bytes a write could not place (a full disk, a file
// that cannot be opened) are kept, up to kMaxPendingBytes, and go out with the next batch, on
// the file opened again; when they would pass that, the oldest whole lines go and are counted.
// A writer that starts failing, and one that recovers, says so once through the trouble sink.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
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

    static constexpr std::size_t kMaxPendingBytes = 4 * 1024 * 1024;

    // Any thread.
    void append(std::string text);
    // The file of the day as the clock reads now.
    std::string currentPath() const;
    // Whether that file is open and holds every text appended so far that was written.
    bool writing() const;
    // Where the notices of failing and recovering go (a log line each, "\r\n" ended); called
    // on the writer's thread. A notice from before the call is handed over at once; once a
    // call returns, the sink it replaced is never called again.
    void setOnTrouble(std::function<void(const std::string&)> sink);
    // Waits until every text appended before the call is written (or failed to be).
    void flush();

  private:
    void writerLoop();
    void write(const std::string& text);
    int openFor(const std::string& name);
    void keepWithinBound();
    void report(bool ok, int error, const std::string& path);
    void prune() const;

    const std::string folder_;
    const Clock& clock_;
    const int keepDays_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::vector<std::string> queue_;
    std::uint64_t appended_ = 0;
    std::uint64_t done_ = 0;
    bool stop_ = false;
    bool healthy_ = false;
    // Held while a notice is handed over, so that once setOnTrouble({}) returns none is.
    std::mutex sinkMutex_;
    std::function<void(const std::string&)> onTrouble_;
    std::string unsentNotice_;
    // The writer's own.
    int fd_ = -1;
    std::string openName_;
    std::string pending_;          // bytes not yet placed in the file
    std::uint64_t lostLines_ = 0;  // dropped from pending_ since the trouble began
    bool troubleSaid_ = false;
    std::thread writer_;  // last: starts once the rest is set up
};

}  // namespace vellicor::app
