#pragma once
// When each request of a run left and when it ended, on the steady clock, as the run goes.
// The ways call left() at the instant, once per request: it writes into slots made before
// the instant, takes no lock, makes no virtual call and reads the steady clock directly
// where the run's clock is the system's. The rows of the run's picture are made from it at
// the end (timeline.h).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "mall/outcome.h"
#include "platform/clock.h"

namespace vellicor::mall {

class TimelineRecorder {
  public:
    // One request attempt of one worker.
    struct Entry {
        std::uint32_t worker = 0;
        std::uint32_t attempt = 0;  // 0: the worker ended without sending
        std::uint8_t kind = 0;      // OutcomeKind, once ended
        bool hasLeft = false;
        bool ended = false;
        Clock::Steady left{};
        Clock::Steady endedAt{};
    };

    // Room for two attempts a worker is made now; retries past that take a block of slots at a
    // time, after the instant, up to kMostEntries.
    TimelineRecorder(const Clock& clock, std::size_t workers);

    // The worker's request went under way (its bytes written, or handed to libcurl). A request
    // withdrawn before it reached the mall keeps its slot: it goes again as the same attempt.
    void left(std::size_t worker, int attempt) {
        std::uint32_t& open = open_[worker];
        if (open == 0) {
            open = take();
            if (open == 0) {
                return;
            }
        }
        Entry& e = at(open - 1);
        e.worker = static_cast<std::uint32_t>(worker);
        e.attempt = static_cast<std::uint32_t>(attempt);
        e.hasLeft = true;
        e.left = now();
    }

    // The request under way ended with `kind` at `when`. A worker ending with none under way
    // gets a row of its own only when it never sent one (`sentBefore` false).
    void ended(std::size_t worker, OutcomeKind kind, Clock::Steady when, bool sentBefore);

    std::size_t size() const { return used_; }
    const Entry& entry(std::size_t index) const { return chunks_[index / kChunk][index % kChunk]; }
    // Attempts past kMostEntries, not kept.
    std::size_t dropped() const { return dropped_; }

    static constexpr std::size_t kChunk = 4096;
    static constexpr std::size_t kMostEntries = 256 * kChunk;

  private:
    Clock::Steady now() const {
        return system_ ? std::chrono::steady_clock::now() : clock_->steadyNow();
    }
    Entry& at(std::size_t index) { return chunks_[index / kChunk][index % kChunk]; }
    // A free slot's index + 1, or 0 when the record is full.
    std::uint32_t take() {
        if (used_ == chunks_.size() * kChunk && !grow()) {
            ++dropped_;
            return 0;
        }
        return static_cast<std::uint32_t>(++used_);
    }
    bool grow();

    const Clock* clock_;
    bool system_;
    std::vector<std::unique_ptr<Entry[]>> chunks_;
    std::vector<std::uint32_t> open_;  // by worker: its open entry + 1, or 0
    std::size_t used_ = 0;
    std::size_t dropped_ = 0;
};

}  // namespace vellicor::mall
