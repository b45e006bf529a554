#pragma once
// The main window's background music: its two properties (the music bytes and the play
// count), the start rule, and the synthesizer, device and threads behind them.
//
// Window creation:     music.setMusic(builtInMusic());   // play count starts at 1: plays once
// "停止背景音乐":       music.stopForGood();               // play count 2, for the rest of the run
// Window destruction:  destroy the object; it stops and closes the device.
//
// The control calls come from one thread (the window's). Nothing here reports a failure: with
// no sound font, no sound device or a synthesizer that fails, the music is simply silent.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/music/player.h"

namespace vellicor::music {

struct MusicOptions {
    std::string soundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
    double sampleRate = 44100.0;
    // False keeps the music off any sound device; render() then pulls the samples (tests,
    // offline rendering).
    bool openDevice = true;
    // FluidSynth audio drivers to try in turn; empty: the sound server, then the sound card.
    std::vector<std::string> drivers;
};

class BackgroundMusic {
  public:
    static constexpr int kLoop = 0;
    static constexpr int kOnce = 1;
    static constexpr int kNever = 2;

    explicit BackgroundMusic(MusicOptions options = {});
    ~BackgroundMusic();
    BackgroundMusic(const BackgroundMusic&) = delete;
    BackgroundMusic& operator=(const BackgroundMusic&) = delete;

    // Each write stops what plays, stores the value, then starts by the start rule: nothing
    // plays when the music is empty or not a usable MIDI file, or the count is not 0 or 1.
    void setMusic(std::span<const std::uint8_t> bytes);
    void setPlayCount(int count);
    const std::vector<std::uint8_t>& music() const { return music_; }
    int playCount() const { return playCount_; }

    // Silences at once; the properties stay, so the next write starts again.
    void stop();
    // The stop button: writes play count 2, so that nothing restarts the music.
    void stopForGood() { setPlayCount(kNever); }

    bool playing() const;  // playing, and not yet run out
    bool hasSynth() const { return player_ != nullptr; }
    bool deviceOpen() const;  // a sound device is being fed

    // With openDevice false: the next block of samples. Silence otherwise, or without music.
    void render(float* left, float* right, std::size_t frames);

  private:
    void start();
    void openDevice();
    void closeDevice();
    void watchForEnd();

    MusicOptions options_;
    std::vector<std::uint8_t> music_;
    int playCount_ = kOnce;
    std::unique_ptr<MusicPlayer> player_;

    // The device, and a watcher that closes it once a single play has finished (the device's
    // own thread cannot close itself).
    mutable std::mutex deviceMutex_;
    std::condition_variable deviceCv_;
    std::unique_ptr<AudioDevice> device_;
    std::thread watcher_;
    bool ended_ = false;
    bool closing_ = false;
};

}  // namespace vellicor::music
