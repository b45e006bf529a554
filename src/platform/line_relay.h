#pragma once
// Carries texts from any thread to one owning thread (the log box's), each text whole and in
// the order its thread appended it.
//
// The owner is not told once per text: `wake` runs only when the queue turns from empty to
// non-empty, so a burst of thousands of lines at the exchange instant costs the owner one
// wake-up, and one drain() hands the whole burst over. `wake` runs on the appending thread
// and must be quick (post an event, signal a condition variable); it must not call back into
// the relay.
//
// detach() is for the owner going away: once it returns, no later or concurrent append()
// calls `wake` or keeps its text, and what was still pending is dropped.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vellicor {

class LineRelay {
  public:
    explicit LineRelay(std::function<void()> wake);
    LineRelay(const LineRelay&) = delete;
    LineRelay& operator=(const LineRelay&) = delete;

    // Any thread.
    void append(std::string text);
    void detach();
    bool detached() const;

    // The owning thread. Hands every text pending at the call, oldest first, and returns how
    // many. Texts appended while `each` runs come with the next drain (their wake is due);
    // `each` itself must not drain, or newer texts would overtake the rest of this batch.
    std::size_t drain(const std::function<void(const std::string&)>& each);

  private:
    mutable std::mutex queueMutex_;
    std::vector<std::string> queue_;
    // Held while `wake` runs, so that detach() can wait out a wake-up already under way.
    std::mutex wakeMutex_;
    bool detached_ = false;  // written under both mutexes, read under either
    std::function<void()> wake_;
};

}  // namespace vellicor
