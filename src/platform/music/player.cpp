#include "platform/music/player.h"

#include <algorithm>

namespace vellicor::music {

MusicPlayer::MusicPlayer(std::unique_ptr<Synth> synth) : synth_(std::move(synth)) {}

void MusicPlayer::play(std::shared_ptr<const Sequence> sequence, bool loop) {
    std::lock_guard lock(mutex_);
    synth_->silence();
    sequencer_.emplace(std::move(sequence), synth_->sampleRate(), loop);
    tailFrames_ = 0;
    finished_ = false;
}

void MusicPlayer::stop() {
    std::lock_guard lock(mutex_);
    if (!sequencer_)
        return;
    sequencer_.reset();
    synth_->silence();
    finished_ = false;
}

void MusicPlayer::render(float* left, float* right, std::size_t frames) {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        if (!sequencer_) {
            std::fill(left, left + frames, 0.0f);
            std::fill(right, right + frames, 0.0f);
            return;
        }
        bool wasFinished = finished_;
        renderPlaying(left, right, frames);
        if (finished_ && !wasFinished)
            handler = finishedHandler_;
    }
    if (handler)
        handler();
}

// Splits the block at every due message, so that each lands on its own frame.
void MusicPlayer::renderPlaying(float* left, float* right, std::size_t frames) {
    auto send = [this](const ChannelMessage& m) { synth_->send(m); };
    std::size_t done = 0;
    while (done < frames && !sequencer_->finished()) {
        std::uint64_t gap = sequencer_->dispatch(send);
        if (sequencer_->finished()) {
            synth_->releaseAll();  // a cut-short file may leave notes on
            break;
        }
        auto step = static_cast<std::size_t>(std::min<std::uint64_t>(gap, frames - done));
        synth_->render(left + done, right + done, step);
        sequencer_->advance(step);
        done += step;
    }
    if (done < frames)
        renderTail(left + done, right + done, frames - done);
}

void MusicPlayer::renderTail(float* left, float* right, std::size_t frames) {
    synth_->render(left, right, frames);
    tailFrames_ += frames;
    auto longest = static_cast<std::uint64_t>(kLongestTailSeconds * synth_->sampleRate());
    if (synth_->activeVoices() == 0 || tailFrames_ >= longest)
        finished_ = true;
}

bool MusicPlayer::playing() const {
    std::lock_guard lock(mutex_);
    return sequencer_ && !sequencer_->finished();
}

bool MusicPlayer::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void MusicPlayer::onFinished(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    finishedHandler_ = std::move(handler);
}

}  // namespace vellicor::music
