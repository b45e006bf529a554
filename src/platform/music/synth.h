#pragma once
// The software synthesizer behind the music, and the sound device it can play through.
// FluidSynth stays inside synth.cpp; its log output is switched off, since a missing device or
// sound font is not worth a word to the user.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/music/sequence.h"

namespace vellicor::music {

class AudioDevice;

class Synth {
  public:
    // Null when the sound font cannot be loaded or the synthesizer cannot be made.
    static std::unique_ptr<Synth> create(const std::string& soundFont, double sampleRate);
    ~Synth();
    Synth(const Synth&) = delete;
    Synth& operator=(const Synth&) = delete;

    void send(const ChannelMessage& m);
    // Cuts every voice at once and resets every channel: what renders next starts from quiet.
    void silence();
    // Lets every note go as a note off would, pedal included, so that notes fade naturally.
    void releaseAll();
    // Overwrites `frames` samples of each channel.
    void render(float* left, float* right, std::size_t frames);
    int activeVoices() const;
    double sampleRate() const { return sampleRate_; }

    // The callback fills both channels with `frames` samples on the device's own thread.
    using Render = std::function<void(float* left, float* right, std::size_t frames)>;
    // Tries the named drivers in turn (empty: the sound server, then the sound card when the
    // system has one); null when none opens.
    std::unique_ptr<AudioDevice> openDevice(const std::vector<std::string>& drivers, Render render);

  private:
    struct Handles;
    explicit Synth(std::unique_ptr<Handles> handles, double sampleRate);
    std::unique_ptr<Handles> h_;
    double sampleRate_;
};

// An open sound output; closing it (destruction) waits for its thread to leave the callback.
class AudioDevice {
  public:
    ~AudioDevice();
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

  private:
    friend class Synth;
    struct Driver;
    explicit AudioDevice(std::unique_ptr<Driver> driver);
    std::unique_ptr<Driver> d_;
};

}  // namespace vellicor::music
