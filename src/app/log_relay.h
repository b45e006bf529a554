#pragma once
// Carries log texts from any thread to the log box, and drops them once the box is gone.
//
// A burst of worker lines costs the window one wake-up; it goes to the log file whole (the
// file writes on its own thread), and into the box a slice at a time, one slice per turn of
// the window's event loop, so that tens of thousands of lines never hold the window up for
// long. Texts that the box would drop at once (more than it keeps) are not put in at all.
// Texts appended on the window's thread go in at once when nothing is waiting before them.
// afterShown() runs a call once every text appended before it (on that thread) is in.

#include <QObject>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/line_relay.h"

namespace vellicor::ui {
class EditBox;
}

namespace vellicor::app {

class LogFile;

class LogRelay {
  public:
    // keep: how many texts the box holds at most (its line limit); 0 for no limit.
    LogRelay(ui::EditBox* box, LogFile* file, std::size_t keep);
    LogRelay(const LogRelay&) = delete;
    LogRelay& operator=(const LogRelay&) = delete;

    // Any thread.
    void append(const std::string& text);
    // Any thread. `then` runs on the window's thread once every text this thread appended
    // before is in the box (or left out as too old); never after detach().
    void afterShown(std::function<void()> then);
    // The window's thread: what is waiting goes to the file now, and to the box.
    void flush();
    // The window's thread, before the box goes.
    void detach();

  private:
    void wake();
    void drain();
    void putSlice();
    void runMarker(const std::string& marker);

    ui::EditBox* box_;
    LogFile* file_;
    QThread* owner_;
    std::size_t keep_;
    std::deque<std::string> backlog_;  // the window's thread only
    bool slicePosted_ = false;
    std::mutex callsMutex_;
    std::map<std::uint64_t, std::function<void()>> calls_;  // by marker number
    std::uint64_t nextCall_ = 0;
    LineRelay lines_;
};

}  // namespace vellicor::app
