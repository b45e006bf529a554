#include "platform/music/background_music.h"

#include <algorithm>

#include "platform/music/sequence.h"

namespace vellicor::music {

BackgroundMusic::BackgroundMusic(MusicOptions options) : options_(std::move(options)) {
    if (auto synth = Synth::create(options_.soundFont, options_.sampleRate)) {
        player_ = std::make_unique<MusicPlayer>(std::move(synth));
        player_->onFinished([this] {
            std::lock_guard lock(deviceMutex_);
            ended_ = true;
            deviceCv_.notify_all();
        });
    }
}

BackgroundMusic::~BackgroundMusic() {
    stop();
}

void BackgroundMusic::setMusic(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());  // bytes may be music_ itself
    stop();
    music_ = std::move(copy);
    start();
}

void BackgroundMusic::setPlayCount(int count) {
    stop();
    playCount_ = count;
    start();
}

void BackgroundMusic::start() {
    if (music_.empty() || (playCount_ != kLoop && playCount_ != kOnce) || !player_)
        return;
    auto sequence = loadSequence(music_);
    if (!sequence)
        return;
    player_->play(std::move(sequence).value(), playCount_ == kLoop);
    if (options_.openDevice)
        openDevice();
}

void BackgroundMusic::stop() {
    if (!player_)
        return;
    // Silence first, so that whatever the device still asks for is already quiet.
    player_->stop();
    closeDevice();
}

bool BackgroundMusic::playing() const {
    return player_ && player_->playing();
}

bool BackgroundMusic::deviceOpen() const {
    std::lock_guard lock(deviceMutex_);
    return device_ != nullptr;
}

void BackgroundMusic::render(float* left, float* right, std::size_t frames) {
    if (!player_ || options_.openDevice) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        return;
    }
    player_->render(left, right, frames);
}

void BackgroundMusic::openDevice() {
    {
        // Before the device exists: its thread may reach the end of a short piece at once.
        std::lock_guard lock(deviceMutex_);
        ended_ = false;
        closing_ = false;
    }
    MusicPlayer* player = player_.get();
    auto device = player->synth().openDevice(
        options_.drivers, [player](float* l, float* r, std::size_t n) { player->render(l, r, n); });
    if (!device) {
        player_->stop();  // no way to be heard: nothing plays
        return;
    }
    {
        std::lock_guard lock(deviceMutex_);
        device_ = std::move(device);
    }
    watcher_ = std::thread([this] { watchForEnd(); });
}

void BackgroundMusic::watchForEnd() {
    std::unique_lock lock(deviceMutex_);
    deviceCv_.wait(lock, [this] { return ended_ || closing_; });
    if (closing_)
        return;
    auto device = std::move(device_);
    lock.unlock();
    device.reset();  // waits for the device thread to leave the callback
}

void BackgroundMusic::closeDevice() {
    {
        std::lock_guard lock(deviceMutex_);
        closing_ = true;
        deviceCv_.notify_all();
    }
    if (watcher_.joinable())
        watcher_.join();
    std::unique_ptr<AudioDevice> device;
    {
        std::lock_guard lock(deviceMutex_);
        device = std::move(device_);
    }
    device.reset();
}

}  // namespace vellicor::music
