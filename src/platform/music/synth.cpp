#include "platform/music/synth.h"

#include <fluidsynth.h>

#include <filesystem>
#include <mutex>
#include <vector>

namespace vellicor::music {

namespace {

constexpr int kChannels = 16;
constexpr int kSustainPedal = 64;
constexpr int kFlushFrames = 2048;

void muteLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; ++level) {
            fluid_set_log_function(level, nullptr, nullptr);
        }
    });
}

// Sound servers first: they share the card with other programs and pick the user's output.
// The card itself only when the system has one, since probing a missing card prints to stderr.
std::vector<std::string> defaultDrivers() {
    std::vector<std::string> choices = {"pulseaudio"};
    std::error_code ec;
    if (std::filesystem::exists("/dev/snd", ec))
        choices.emplace_back("alsa");
    return choices;
}

}  // namespace

struct Synth::Handles {
    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    ~Handles() {
        if (synth)
            delete_fluid_synth(synth);
        if (settings)
            delete_fluid_settings(settings);
    }
};

struct AudioDevice::Driver {
    Synth::Render render;
    fluid_audio_driver_t* driver = nullptr;
    ~Driver() {
        if (driver)
            delete_fluid_audio_driver(driver);
    }
    static int callback(void* data, int len, int /*nfx*/, float* /*fx*/[], int nout, float* out[]) {
        auto* self = static_cast<Driver*>(data);
        if (len <= 0 || nout < 2)
            return FLUID_OK;
        auto frames = static_cast<std::size_t>(len);
        self->render(out[0], out[1], frames);
        for (int i = 2; i < nout; ++i) std::fill(out[i], out[i] + frames, 0.0f);
        return FLUID_OK;
    }
};

std::unique_ptr<Synth> Synth::create(const std::string& soundFont, double sampleRate) {
    muteLibraryLog();
    std::error_code ec;
    if (soundFont.empty() || !std::filesystem::is_regular_file(soundFont, ec))
        return nullptr;
    auto h = std::make_unique<Handles>();
    h->settings = new_fluid_settings();
    if (!h->settings)
        return nullptr;
    fluid_settings_setnum(h->settings, "synth.sample-rate", sampleRate);
    h->synth = new_fluid_synth(h->settings);
    if (!h->synth || fluid_synth_sfload(h->synth, soundFont.c_str(), 1) == FLUID_FAILED) {
        return nullptr;
    }
    double actual = sampleRate;
    fluid_settings_getnum(h->settings, "synth.sample-rate", &actual);
    return std::unique_ptr<Synth>(new Synth(std::move(h), actual));
}

Synth::Synth(std::unique_ptr<Handles> handles, double sampleRate)
    : h_(std::move(handles)), sampleRate_(sampleRate) {}

Synth::~Synth() = default;

void Synth::send(const ChannelMessage& m) {
    int ch = m.status & 0x0F;
    fluid_synth_t* s = h_->synth;
    switch (m.status & 0xF0) {
        case 0x80:
            fluid_synth_noteoff(s, ch, m.data1);
            break;
        case 0x90:
            if (m.data2 == 0) {
                fluid_synth_noteoff(s, ch, m.data1);
            } else {
                fluid_synth_noteon(s, ch, m.data1, m.data2);
            }
            break;
        case 0xA0:
            fluid_synth_key_pressure(s, ch, m.data1, m.data2);
            break;
        case 0xB0:
            fluid_synth_cc(s, ch, m.data1, m.data2);
            break;
        case 0xC0:
            fluid_synth_program_change(s, ch, m.data1);
            break;
        case 0xD0:
            fluid_synth_channel_pressure(s, ch, m.data1);
            break;
        case 0xE0:
            fluid_synth_pitch_bend(s, ch, (m.data2 << 7) | m.data1);
            break;
        default:
            break;
    }
}

// The synthesizer applies voice changes when it next renders, so the cut and the reset are
// each rendered into a scratch buffer here: a later render starts from a quiet synth instead
// of playing out the cut-off voices, and the reset also drops most of the effect tails.
void Synth::silence() {
    std::vector<float> scratch(2 * kFlushFrames);
    auto flush = [&](int frames) {
        fluid_synth_write_float(h_->synth, frames, scratch.data(), 0, 1,
                                scratch.data() + kFlushFrames, 0, 1);
    };
    fluid_synth_all_sounds_off(h_->synth, -1);
    flush(64);
    fluid_synth_system_reset(h_->synth);
    flush(kFlushFrames);
}

void Synth::releaseAll() {
    for (int ch = 0; ch < kChannels; ++ch) {
        fluid_synth_cc(h_->synth, ch, kSustainPedal, 0);
        fluid_synth_all_notes_off(h_->synth, ch);
    }
}

void Synth::render(float* left, float* right, std::size_t frames) {
    if (frames == 0)
        return;
    fluid_synth_write_float(h_->synth, static_cast<int>(frames), left, 0, 1, right, 0, 1);
}

int Synth::activeVoices() const {
    return fluid_synth_get_active_voice_count(h_->synth);
}

std::unique_ptr<AudioDevice> Synth::openDevice(const std::vector<std::string>& drivers,
                                               Render render) {
    auto d = std::make_unique<AudioDevice::Driver>();
    d->render = std::move(render);
    for (const std::string& name : drivers.empty() ? defaultDrivers() : drivers) {
        if (fluid_settings_setstr(h_->settings, "audio.driver", name.c_str()) != FLUID_OK)
            continue;
        d->driver = new_fluid_audio_driver2(h_->settings, &AudioDevice::Driver::callback, d.get());
        if (d->driver)
            return std::unique_ptr<AudioDevice>(new AudioDevice(std::move(d)));
    }
    return nullptr;
}

AudioDevice::AudioDevice(std::unique_ptr<Driver> driver) : d_(std::move(driver)) {}

AudioDevice::~AudioDevice() = default;

}  // namespace vellicor::music
