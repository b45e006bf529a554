// Offline rendering: the same player that feeds the sound device, pulled block by block with
// no device open, and measured on its samples.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "midi_bytes.h"
#include "platform/music/background_music.h"
#include "platform/music/built_in_music.h"

namespace vellicor::music {
namespace {

using testing::Bytes;
using testing::cat;
using testing::kEnd;
using testing::midi;
using testing::track;

constexpr double kRate = 44100;
constexpr std::size_t kBlock = 512;
constexpr double kSounds = 1e-3;     // RMS of music, well above this
constexpr double kSilent = 1e-6;     // RMS of nothing
constexpr double kInaudible = 1e-4;  // 80 dB below full scale: what is left of effect tails

// Renders `seconds` in device-sized blocks and returns the RMS of the whole stretch.
double rms(BackgroundMusic& m, double seconds) {
    auto frames = static_cast<std::size_t>(seconds * kRate);
    std::vector<float> l(kBlock), r(kBlock);
    double sum = 0;
    std::size_t done = 0;
    while (done < frames) {
        std::size_t n = std::min(kBlock, frames - done);
        m.render(l.data(), r.data(), n);
        for (std::size_t i = 0; i < n; ++i) sum += double(l[i]) * l[i] + double(r[i]) * r[i];
        done += n;
    }
    return frames ? std::sqrt(sum / (2.0 * static_cast<double>(frames))) : 0.0;
}

Bytes builtIn() {
    return Bytes(builtInMusic().begin(), builtInMusic().end());
}

// A piano note at the start of a 2-second piece: its own sound is gone well before the end.
Bytes shortPiece() {
    Bytes body = cat({{0x00, 0xC0, 0x00},
                      {0x00, 0x90, 0x3C, 0x64},
                      {0x83, 0x60, 0x3C, 0x00},
                      {0x8B, 0x20, 0xB0, 0x07, 0x64},
                      kEnd});
    return midi({track(body)});
}

class Render : public ::testing::Test {
  protected:
    void SetUp() override {
        MusicOptions options;
        if (!std::filesystem::exists(options.soundFont))
            GTEST_SKIP() << "no sound font installed";
        options.openDevice = false;
        options.sampleRate = kRate;
        music = std::make_unique<BackgroundMusic>(options);
        ASSERT_TRUE(music->hasSynth());
    }
    std::unique_ptr<BackgroundMusic> music;
};

// The first block after a stop is already silent: no release tail, no effect tail. stop()
// keeps the properties (the next write starts again); the stop button's write of play count 2
// keeps it stopped whatever is written later. Stopping again changes nothing.
TEST_F(Render, StopSilencesAtOnce) {
    music->setMusic(builtInMusic());
    ASSERT_GT(rms(*music, 2.0), kSounds);
    music->stop();
    EXPECT_FALSE(music->playing());
    EXPECT_LT(rms(*music, kBlock / kRate), kSilent);
    music->stop();
    EXPECT_LT(rms(*music, 0.5), kSilent);

    music->setPlayCount(BackgroundMusic::kOnce);
    ASSERT_GT(rms(*music, 1.0), kSounds);
    music->stopForGood();
    EXPECT_EQ(music->playCount(), BackgroundMusic::kNever);
    EXPECT_LT(rms(*music, kBlock / kRate), kSilent);
    music->setMusic(builtInMusic());
    EXPECT_FALSE(music->playing());
    EXPECT_LT(rms(*music, 0.5), kSilent);
}

TEST_F(Render, NewStartCarriesNothingOverFromTheStoppedMusic) {
    Bytes noNotes = midi({track(cat({{0x00, 0xB0, 0x07, 0x64}, {0x8F, 0x00, 0xFF, 0x2F, 0x00}}))});
    music->setMusic(builtInMusic());
    ASSERT_GT(rms(*music, 2.0), kSounds);
    music->setMusic(noNotes);
    EXPECT_TRUE(music->playing());
    EXPECT_LT(rms(*music, 1.0), kInaudible);
}

struct RuleCase {
    std::string name;
    Bytes data;
    int count;
    bool plays;
};

class StartRule : public Render, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(StartRule, PlaysOnlyUsableMusicWithCountZeroOrOne) {
    const auto& c = GetParam();
    music->setPlayCount(c.count);
    music->setMusic(c.data);
    EXPECT_EQ(music->playing(), c.plays);
    double level = rms(*music, 1.0);
    if (c.plays) {
        EXPECT_GT(level, kSounds);
    } else {
        EXPECT_LT(level, kSilent);
    }
}

Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Music, StartRule,
    ::testing::Values(
        RuleCase{"once", builtIn(), 1, true}, RuleCase{"loop", builtIn(), 0, true},
        RuleCase{"count_two", builtIn(), 2, false}, RuleCase{"count_three", builtIn(), 3, false},
        RuleCase{"count_negative", builtIn(), -1, false}, RuleCase{"empty", {}, 1, false},
        RuleCase{"not_midi", {'h', 'e', 'l', 'l', 'o', ' ', 'm', 'u', 's', 'i', 'c'}, 1, false},
        RuleCase{"wave", cat({{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, Bytes(64, 0)}),
                 1, false},
        RuleCase{"header_only", cut(builtIn(), 14), 1, false},
        // Cut inside the piano track: its length now runs past the end; the first bars play.
        RuleCase{"cut_in_piano_track", cut(builtIn(), 1500), 1, true},
        RuleCase{"vlq_over_four_bytes_first",
                 midi({track(cat({{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x90, 0x3C, 0x64}, kEnd}))}), 1,
                 false}),
    [](const auto& p) { return p.param.name; });

struct EndCase {
    std::string name;
    int count;
    bool soundsAfterTheEnd;
};

class PieceEnd : public Render, public ::testing::WithParamInterface<EndCase> {};

// The short piece's note has faded by 1.9 s; at 2.0 s a loop strikes it again at once, while a
// single play stays silent.
TEST_P(PieceEnd, LoopStartsAgainWithoutAGapAndASinglePlayEnds) {
    const auto& c = GetParam();
    music->setPlayCount(c.count);
    music->setMusic(shortPiece());
    EXPECT_GT(rms(*music, 0.5), kSounds);
    rms(*music, 1.5 - 0.05);
    double beforeEnd = rms(*music, 0.05);
    double afterEnd = rms(*music, 0.1);
    if (c.soundsAfterTheEnd) {
        EXPECT_GT(afterEnd, 10 * beforeEnd);
        EXPECT_GT(afterEnd, kSounds);
        EXPECT_TRUE(music->playing());
    } else {
        EXPECT_LT(afterEnd, kInaudible);
        EXPECT_FALSE(music->playing());
    }
}

INSTANTIATE_TEST_SUITE_P(Music, PieceEnd,
                         ::testing::Values(EndCase{"loop", 0, true}, EndCase{"once", 1, false}),
                         [](const auto& p) { return p.param.name; });

TEST_F(Render, NoteLeftOnByACutFileFadesWhenThePlayRunsOut) {
    // A held pedal and a note without its note off; the chunk claims more bytes than exist.
    Bytes body = {0x00, 0xB0, 0x40, 0x7F, 0x00, 0x90, 0x48, 0x64, 0x83, 0x60, 0xB0, 0x07, 0x64};
    music->setMusic(midi({track(body, 4000)}));
    ASSERT_TRUE(music->playing());
    EXPECT_GT(rms(*music, 0.5), kSounds);
    rms(*music, 4.5);
    EXPECT_FALSE(music->playing());
    EXPECT_LT(rms(*music, 0.5), kInaudible);
}

TEST(Music, WithoutSoundFontEverythingIsSilentAndQuiet) {
    MusicOptions options;
    options.soundFont = "/nonexistent/none.sf2";
    options.openDevice = false;
    BackgroundMusic music(options);
    EXPECT_FALSE(music.hasSynth());
    music.setMusic(builtInMusic());
    EXPECT_FALSE(music.playing());
    music.stopForGood();
    std::vector<float> l(64, 1.0f), r(64, 1.0f);
    music.render(l.data(), r.data(), l.size());
    EXPECT_EQ(l, std::vector<float>(64, 0.0f));
}

}  // namespace
}  // namespace vellicor::music
