#include "platform/music/sequence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "midi_bytes.h"
#include "platform/music/built_in_music.h"
#include "platform/music/sequencer.h"

namespace vellicor::music {
namespace {

using testing::Bytes;
using testing::cat;
using testing::kEnd;
using testing::midi;
using testing::track;

std::shared_ptr<const Sequence> load(const Bytes& data) {
    auto s = loadSequence(data);
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message);
    return s.ok() ? s.value() : nullptr;
}

TEST(Sequence, MergesByTickWithTheEarlierTrackFirstOnTies) {
    // Track 1: program at 0, note at 10. Track 2: note at 0, note at 10, note at 5.
    Bytes a = cat({{0x00, 0xC0, 0x01}, {0x0A, 0x90, 0x01, 0x40}, kEnd});
    Bytes b =
        cat({{0x00, 0x91, 0x02, 0x40}, {0x05, 0x91, 0x03, 0x40}, {0x05, 0x91, 0x04, 0x40}, kEnd});
    auto seq = load(midi({track(a), track(b)}));
    ASSERT_TRUE(seq);
    std::vector<std::pair<std::uint64_t, int>> order;
    for (const auto& m : seq->messages) order.emplace_back(m.tick, m.message.data1);
    EXPECT_EQ(order, (std::vector<std::pair<std::uint64_t, int>>{
                         {0, 1}, {0, 2}, {5, 3}, {10, 1}, {10, 4}}));
}

struct TimingCase {
    std::string name;
    std::uint16_t division;
    Bytes conductor;              // track 1
    std::vector<double> seconds;  // of the notes of track 2, at ticks 0, 100 and 200
};

Bytes tempo(std::uint32_t delta, std::uint32_t us) {
    return {static_cast<std::uint8_t>(delta),
            0xFF,
            0x51,
            0x03,
            static_cast<std::uint8_t>(us >> 16),
            static_cast<std::uint8_t>(us >> 8),
            static_cast<std::uint8_t>(us)};
}

class Timing : public ::testing::TestWithParam<TimingCase> {};

TEST_P(Timing, TicksBecomeSecondsThroughTheCurrentTempo) {
    const auto& c = GetParam();
    Bytes notes = cat({{0x00, 0x90, 0x3C, 0x40}, {0x64, 0x3E, 0x40}, {0x64, 0x40, 0x40}, kEnd});
    auto seq = load(midi({track(cat({c.conductor, kEnd})), track(notes)}, c.division));
    ASSERT_TRUE(seq);
    ASSERT_EQ(seq->messages.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(seq->messages[i].seconds, c.seconds[i], 1e-9) << i;
    EXPECT_NEAR(seq->lengthSeconds, c.seconds[2], 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Sequence, Timing,
    ::testing::Values(TimingCase{"default_tempo", 100, {}, {0, 0.5, 1.0}},
                      TimingCase{"tempo_at_start", 100, tempo(0, 1000000), {0, 1.0, 2.0}},
                      TimingCase{"tempo_change_midway",
                                 100,
                                 cat({tempo(0, 1000000), tempo(100, 250000)}),
                                 {0, 1.0, 1.25}},
                      TimingCase{"bad_tempo_length_ignored",
                                 100,
                                 {0x00, 0xFF, 0x51, 0x02, 0x0F, 0x42},
                                 {0, 0.5, 1.0}},
                      // 25 frames of 40 ticks: 1000 ticks a second, whatever the tempo says.
                      TimingCase{"smpte_division", 0xE728, tempo(0, 1000000), {0, 0.1, 0.2}}),
    [](const auto& p) { return p.param.name; });

TEST(Sequence, BuiltInPieceLastsAboutTwoAndAHalfMinutes) {
    auto seq = load(Bytes(builtInMusic().begin(), builtInMusic().end()));
    ASSERT_TRUE(seq);
    EXPECT_EQ(seq->lengthTicks, 24671u);
    EXPECT_NEAR(seq->lengthSeconds, 24671 * 0.705882 / 120, 1e-6);
    EXPECT_GT(seq->lengthSeconds, 144.0);
    EXPECT_LT(seq->lengthSeconds, 146.0);
}

// ---- the play head ---------------------------------------------------------------------

struct Heard {
    std::uint64_t frame;
    ChannelMessage message;
};

// Walks the play head as a renderer would, in blocks, recording every message with the
// absolute frame it was due on.
std::vector<Heard> walk(Sequencer& head, std::uint64_t frames, std::uint64_t block = 512) {
    std::vector<Heard> heard;
    std::uint64_t now = 0;
    while (now < frames) {
        std::uint64_t end = std::min(now + block, frames);
        while (now < end && !head.finished()) {
            std::uint64_t gap = head.dispatch([&](const ChannelMessage& m) {
                heard.push_back({now, m});
            });
            if (head.finished())
                break;
            std::uint64_t step = std::min(gap, end - now);
            head.advance(step);
            now += step;
        }
        if (head.finished())
            break;
    }
    return heard;
}

std::vector<Heard> noteOns(const std::vector<Heard>& all) {
    std::vector<Heard> out;
    for (const auto& h : all) {
        if ((h.message.status & 0xF0) == 0x90 && h.message.data2 > 0)
            out.push_back(h);
    }
    return out;
}

TEST(Sequencer, LoopingPieceStartsAgainFromItsFirstNotesAtItsLength) {
    auto seq = load(Bytes(builtInMusic().begin(), builtInMusic().end()));
    ASSERT_TRUE(seq);
    constexpr double kRate = 44100;
    Sequencer head(seq, kRate, true);
    auto expectedPass = static_cast<std::uint64_t>(std::llround(seq->lengthSeconds * kRate));
    ASSERT_EQ(head.passFrames(), expectedPass);

    auto notes = noteOns(walk(head, expectedPass + static_cast<std::uint64_t>(5 * kRate), 1024));
    std::size_t firstPass = 0;
    while (firstPass < notes.size() && notes[firstPass].frame < expectedPass) ++firstPass;
    ASSERT_EQ(firstPass, 800u);  // every note of piano and strings
    ASSERT_GT(notes.size(), firstPass + 8);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(notes[firstPass + i].frame, notes[i].frame + expectedPass) << i;
        EXPECT_EQ(notes[firstPass + i].message, notes[i].message) << i;
    }
    EXPECT_EQ(head.passes(), 1u);
}

TEST(Sequencer, SinglePlayEndsAtTheLastEndOfTrack) {
    // One note at tick 0, a second track whose end lies later than the note's.
    Bytes a = cat({{0x00, 0x90, 0x3C, 0x40}, {0x83, 0x60, 0x80, 0x3C, 0x00}, kEnd});
    Bytes b = {0x8F, 0x00, 0xFF, 0x2F, 0x00};  // ends at tick 1920: two seconds
    auto seq = load(midi({track(a), track(b)}));
    ASSERT_TRUE(seq);
    Sequencer head(seq, 1000, false);
    auto heard = walk(head, 10000);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].frame, 500u);
    EXPECT_TRUE(head.finished());
    EXPECT_EQ(head.position(), 2000u);
    EXPECT_EQ(head.dispatch([](const ChannelMessage&) { FAIL(); }), Sequencer::kNever);
}

TEST(Sequencer, PieceOfNoLengthLoopsAtTheShortestPass) {
    auto seq = load(midi({track(cat({{0x00, 0x90, 0x3C, 0x40}, kEnd}))}));
    ASSERT_TRUE(seq);
    Sequencer head(seq, 1000, true);
    EXPECT_EQ(head.passFrames(), 100u);
    auto heard = walk(head, 1000);
    ASSERT_EQ(heard.size(), 10u);
    EXPECT_EQ(heard[3].frame, 300u);
}

// Damaged copies of the real piece: whatever loads must play without reading out of bounds
// (run under the sanitizers, this is where such a read would show).
TEST(Sequencer, DamagedFilesLoadAndPlayWithoutFault) {
    Bytes original(builtInMusic().begin(), builtInMusic().end());
    std::mt19937 random(1234);
    int loaded = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes data = original;
        if (round % 2 == 0) {
            data.resize(random() % data.size());
        } else {
            for (int n = 0; n < 1 + round % 16; ++n) {
                data[14 + random() % (data.size() - 14)] = static_cast<std::uint8_t>(random());
            }
        }
        auto seq = loadSequence(data);
        if (!seq)
            continue;
        ++loaded;
        Sequencer head(seq.value(), 8000, round % 4 == 1);
        walk(head, 8000 * 20, 4096);
    }
    EXPECT_GT(loaded, 100);
}

}  // namespace
}  // namespace vellicor::music
