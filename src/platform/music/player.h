#pragma once
// Plays a sequence on a synthesizer block by block. render() is what a sound device calls on
// its own thread, and what tests call to hear the music offline; the other calls come from
// the owner's thread. A mutex keeps the two sides apart, held only for one block.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/music/sequencer.h"
#include "platform/music/synth.h"

namespace vellicor::music {

class MusicPlayer {
  public:
    // After a single play has run out, the tail of the last notes may ring this long at most
    // before the player counts as finished.
    static constexpr double kLongestTailSeconds = 4.0;

    explicit MusicPlayer(std::unique_ptr<Synth> synth);

    // Starts the sequence from its beginning, after stopping whatever played.
    void play(std::shared_ptr<const Sequence> sequence, bool loop);
    // Silences at once, with no note left hanging. Does nothing when nothing plays.
    void stop();
    // Fills both channels with the next `frames` samples (silence when nothing plays).
    void render(float* left, float* right, std::size_t frames);

    bool playing() const;   // started, and not yet run out or stopped
    bool finished() const;  // a single play ran out and its last notes have faded
    double sampleRate() const { return synth_->sampleRate(); }
    Synth& synth() { return *synth_; }

    // Called once from render() (the device's thread) when a single play has finished.
    void onFinished(std::function<void()> handler);

  private:
    void renderPlaying(float* left, float* right, std::size_t frames);
    void renderTail(float* left, float* right, std::size_t frames);

    mutable std::mutex mutex_;
    std::unique_ptr<Synth> synth_;
    std::optional<Sequencer> sequencer_;
    std::uint64_t tailFrames_ = 0;
    bool finished_ = false;
    std::function<void()> finishedHandler_;
};

}  // namespace vellicor::music
