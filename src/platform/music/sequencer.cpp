#include "platform/music/sequencer.h"

#include <algorithm>
#include <cmath>

namespace vellicor::music {

namespace {

// Far beyond any real piece, and still exact in a double.
constexpr double kLatestFrame = 9.0e15;

std::uint64_t toFrames(double seconds, double sampleRate) {
    double f = std::clamp(std::round(seconds * sampleRate), 0.0, kLatestFrame);
    return static_cast<std::uint64_t>(f);
}

}  // namespace

Sequencer::Sequencer(std::shared_ptr<const Sequence> sequence, double sampleRate, bool loop)
    : sequence_(std::move(sequence)), loop_(loop) {
    frames_.reserve(sequence_->messages.size());
    for (const TimedMessage& m : sequence_->messages)
        frames_.push_back(toFrames(m.seconds, sampleRate));
    passFrames_ = toFrames(sequence_->lengthSeconds, sampleRate);
    if (!frames_.empty())
        passFrames_ = std::max(passFrames_, frames_.back());
    if (loop_)
        passFrames_ = std::max(passFrames_, toFrames(kShortestLoopSeconds, sampleRate));
}

std::uint64_t Sequencer::dispatch(const Sink& sink) {
    while (!finished_) {
        while (next_ < frames_.size() && frames_[next_] <= position_) {
            sink(sequence_->messages[next_++].message);
        }
        if (next_ < frames_.size())
            return frames_[next_] - position_;
        if (position_ < passFrames_)
            return passFrames_ - position_;
        if (!loop_) {
            finished_ = true;
            break;
        }
        // Straight into the next pass: the first messages fall on the frame the last ended.
        position_ -= passFrames_;
        next_ = 0;
        ++passes_;
    }
    return kNever;
}

void Sequencer::advance(std::uint64_t frames) {
    if (!finished_)
        position_ += frames;
}

}  // namespace vellicor::music
