#pragma once
// The play head: walks a sequence in audio frames, so that the same code drives a sound
// device and an offline render. Not thread-safe; its owner serialises the calls.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "platform/music/sequence.h"

namespace vellicor::music {

class Sequencer {
  public:
    using Sink = std::function<void(const ChannelMessage&)>;
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

    // A looping pass lasts at least this long, so that a piece of (almost) no length cannot
    // make one block dispatch its events thousands of times.
    static constexpr double kShortestLoopSeconds = 0.1;

    Sequencer(std::shared_ptr<const Sequence> sequence, double sampleRate, bool loop);

    // Sends every message due at the current frame and returns the frames until the next one
    // is due (kNever once a single play has run out).
    std::uint64_t dispatch(const Sink& sink);
    // Moves the play head on; call dispatch again before moving past its answer.
    void advance(std::uint64_t frames);

    bool finished() const { return finished_; }
    std::uint64_t passFrames() const { return passFrames_; }  // length of one pass
    std::uint64_t passes() const { return passes_; }          // completed loop passes
    std::uint64_t position() const { return position_; }      // frame within the pass

  private:
    std::shared_ptr<const Sequence> sequence_;
    std::vector<std::uint64_t> frames_;  // due frame of each message within a pass
    std::uint64_t passFrames_ = 0;
    bool loop_ = false;
    std::size_t next_ = 0;
    std::uint64_t position_ = 0;
    std::uint64_t passes_ = 0;
    bool finished_ = false;
};

}  // namespace vellicor::music
