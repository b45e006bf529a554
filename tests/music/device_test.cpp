// The device path: the synthesizer's own driver thread pulling blocks from the player. A null
// ALSA card takes samples as fast as they come, so no sound is made and nothing waits for real
// time; a single play therefore runs out within moments and the device closes by itself.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "midi_bytes.h"
#include "platform/music/background_music.h"
#include "platform/music/built_in_music.h"
#include "wait_until.h"

namespace vellicor::music {
namespace {

using testing::Bytes;
using testing::cat;
using testing::kEnd;
using testing::midi;
using testing::track;

class NullCard : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(MusicOptions{}.soundFont))
            GTEST_SKIP() << "no sound font";
        auto conf = std::filesystem::temp_directory_path() / "vellicor-music-null-card.conf";
        std::ofstream(conf) << "pcm.!default { type null }\nctl.!default { type hw card 0 }\n";
        setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
        options.drivers = {"alsa"};
        BackgroundMusic probe(options);
        probe.setPlayCount(BackgroundMusic::kLoop);
        probe.setMusic(builtInMusic());
        if (!probe.deviceOpen())
            GTEST_SKIP() << "ALSA null card not available";
    }
    void TearDown() override { unsetenv("ALSA_CONFIG_PATH"); }

    // Whether the watcher closed the device: it says so through no signal, so the test looks.
    static bool closesBySelf(const BackgroundMusic& m) {
        return test::waitUntil([&m] { return !m.deviceOpen(); }, std::chrono::minutes(2));
    }

    MusicOptions options;
};

TEST_F(NullCard, SinglePlayRunsOutAndReleasesTheDevice) {
    BackgroundMusic music(options);
    // Half a second of one controller: nothing rings on after the end, so it ends at once.
    Bytes piece =
        midi({track(cat({{0x00, 0xB0, 0x07, 0x64}, {0x83, 0x60, 0xB0, 0x07, 0x64}, kEnd}))});
    music.setMusic(piece);
    EXPECT_TRUE(closesBySelf(music)) << "the device stayed open after the piece ran out";
    EXPECT_FALSE(music.playing());
    music.stopForGood();  // after the end: changes nothing
    EXPECT_FALSE(music.deviceOpen());
}

TEST_F(NullCard, StopWhileTheDeviceRunsClosesItAndRewritesReopenIt) {
    BackgroundMusic music(options);
    music.setPlayCount(BackgroundMusic::kLoop);
    music.setMusic(builtInMusic());
    ASSERT_TRUE(music.deviceOpen());
    for (int round = 0; round < 3; ++round) {
        music.stop();
        EXPECT_FALSE(music.deviceOpen());
        EXPECT_FALSE(music.playing());
        music.setPlayCount(BackgroundMusic::kLoop);
        EXPECT_TRUE(music.deviceOpen());
        EXPECT_TRUE(music.playing());
    }
    music.stopForGood();
    EXPECT_FALSE(music.deviceOpen());
}

}  // namespace
}  // namespace vellicor::music
