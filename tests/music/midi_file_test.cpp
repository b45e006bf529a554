#include "platform/music/midi_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "midi_bytes.h"
#include "platform/music/built_in_music.h"

namespace vellicor::music {
namespace {

using testing::Bytes;
using testing::cat;
using testing::kEnd;
using testing::midi;
using testing::track;

const Bytes kNote = {0x00, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C, 0x00};

// Outcome in short: "rejected", or per track its event count and "+" (ended properly) or "-"
// (cut short at the last well-formed event).
std::string outcome(const Result<MidiFile>& file) {
    if (!file)
        return "rejected";
    std::string out;
    for (const auto& t : file->tracks) {
        out +=
            (out.empty() ? "" : " ") + std::to_string(t.events.size()) + (t.complete ? "+" : "-");
    }
    return out;
}

struct LoadCase {
    std::string name;
    Bytes data;
    std::string expected;
};

std::vector<LoadCase> loadCases() {
    Bytes header = midi({});
    Bytes note = cat({kNote, kEnd});
    // clang-format off
    return {
        {"empty", {}, "rejected"},
        {"just_the_tag", {'M', 'T', 'h', 'd'}, "rejected"},
        {"wave_data", {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}, "rejected"},
        {"other_tag", cat({{'M', 'T', 'h', 'x'}, Bytes(header.begin() + 4, header.end())}), "rejected"},
        {"header_cut_short", Bytes(header.begin(), header.begin() + 10), "rejected"},
        {"header_length_7", {'M', 'T', 'h', 'd', 0, 0, 0, 7, 0, 1, 0, 0, 1, 0xE0, 0}, "rejected"},
        {"division_zero", midi({track(note)}, 0), "rejected"},
        {"smpte_zero_ticks", midi({track(note)}, 0xE700), "rejected"},
        {"chunk_not_a_track", cat({midi({track(kEnd)}, 480, 2), {'X', 'T', 'r', 'k', 0, 0, 0, 4}, kEnd}), "rejected"},
        {"well_formed", midi({track(note), track(kEnd)}), "2+ 0+"},
        {"no_tracks", midi({}), ""},
        {"fewer_tracks_than_declared", midi({track(note)}, 480, 3), "2+"},
        {"second_track_head_cut", cat({midi({track(note)}, 480, 2), {'M', 'T', 'r', 'k', 0, 0}}), "2+"},
        {"running_status", midi({track(cat({kNote, {0x00, 0x3E, 0x40}, kEnd}))}), "3+"},
        {"running_status_without_status", midi({track(cat({{0x00, 0x3C, 0x40}, kEnd}))}), "0-"},
        {"vlq_over_four_bytes", midi({track(cat({kNote, {0xFF, 0xFF, 0xFF, 0xFF, 0x00}, note}))}), "2-"},
        {"vlq_cut_off", midi({track(cat({kNote, {0x81}}))}), "2-"},
        {"meta_length_past_end", midi({track(cat({kNote, {0x00, 0xFF, 0x01, 0x10, 'a'}}))}), "2-"},
        {"sysex_length_past_end", midi({track(cat({kNote, {0x00, 0xF0, 0x7F, 0x01}}))}), "2-"},
        {"data_byte_missing", midi({track(cat({kNote, {0x00, 0x90, 0x3C}}))}), "2-"},
        {"status_where_data_belongs", midi({track(cat({kNote, {0x00, 0x90, 0x3C, 0x90, 0x40}, kEnd}))}), "2-"},
        {"real_time_byte_in_track", midi({track(cat({kNote, {0x00, 0xF8}, kEnd}))}), "2-"},
        {"track_length_past_end", midi({track(note, 4000)}), "2+"},
        {"track_cut_inside_event", midi({track(Bytes(kNote.begin(), kNote.end() - 1), 4000)}), "1-"},
        {"sysex_and_meta_kept", midi({track(cat({{0x00, 0xF0, 0x02, 0x7E, 0xF7, 0x00, 0xFF, 0x01, 0x01, 'x'}, note}))}), "4+"},
    };
    // clang-format on
}

class LoadRules : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadRules, AcceptsOrRejectsAndKeepsWellFormedEvents) {
    EXPECT_EQ(outcome(parseMidiFile(GetParam().data)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Midi, LoadRules, ::testing::ValuesIn(loadCases()),
                         [](const auto& p) { return p.param.name; });

// ---- the built-in piece ------------------------------------------------------------------

struct TrackShape {
    std::size_t notes = 0;
    std::vector<int> channels;
    std::vector<std::pair<int, int>> controls;  // before the first note, in order
    int program = -1;
    bool sustain = false;
};

TrackShape shapeOf(const MidiTrack& t) {
    TrackShape s;
    for (const MidiEvent& e : t.events) {
        if (e.kind != MidiEvent::Kind::Channel)
            continue;
        int kind = e.status & 0xF0;
        int ch = (e.status & 0x0F) + 1;
        if (std::find(s.channels.begin(), s.channels.end(), ch) == s.channels.end())
            s.channels.push_back(ch);
        if (kind == 0x90 && e.data2 > 0)
            ++s.notes;
        if (kind == 0xC0)
            s.program = e.data1;
        if (kind == 0xB0 && e.data1 == 64)
            s.sustain = true;
        if (kind == 0xB0 && s.notes == 0 && e.data1 != 64)
            s.controls.emplace_back(e.data1, e.data2);
    }
    return s;
}

class BuiltInMusic : public ::testing::Test {
  protected:
    void SetUp() override {
        auto parsed = parseMidiFile(builtInMusic());
        ASSERT_TRUE(parsed.ok());
        file = std::move(parsed).value();
        ASSERT_EQ(file.tracks.size(), 29u);
    }
    MidiFile file;
};

TEST_F(BuiltInMusic, HeaderAndConductor) {
    EXPECT_EQ(file.format, 1);
    EXPECT_EQ(file.declaredTracks, 29);
    EXPECT_EQ(file.division, 120);
    const auto& conductor = file.tracks[0];
    std::vector<int> types;
    for (const auto& e : conductor.events) {
        ASSERT_EQ(e.kind, MidiEvent::Kind::Meta);
        EXPECT_EQ(e.tick, 0u);
        types.push_back(e.status);
    }
    EXPECT_EQ(types, (std::vector<int>{0x03, 0x02, 0x01, 0x54, 0x58, 0x59, 0x51}));
    EXPECT_EQ(std::string(conductor.events[0].data.begin(), conductor.events[0].data.end()),
              "untitled");
    EXPECT_EQ(conductor.events[3].data.size(), 5u);
    EXPECT_EQ(conductor.events[4].data, (Bytes{4, 2, 24, 8}));
    EXPECT_EQ(conductor.events[5].data, (Bytes{0, 0}));
    EXPECT_EQ(conductor.events[6].data, (Bytes{0x0A, 0xC5, 0x5A}));  // 705882 us per quarter
}

TEST_F(BuiltInMusic, EveryTrackButTheFirstStartsWithPortZero) {
    for (std::size_t i = 1; i < file.tracks.size(); ++i) {
        const auto& events = file.tracks[i].events;
        ASSERT_FALSE(events.empty()) << "track " << i + 1;
        EXPECT_EQ(events[0].kind, MidiEvent::Kind::Meta);
        EXPECT_EQ(events[0].status, 0x21) << "track " << i + 1;
        EXPECT_EQ(events[0].data, Bytes{0}) << "track " << i + 1;
        EXPECT_TRUE(file.tracks[i].complete);
    }
}

TEST_F(BuiltInMusic, InstrumentTracks) {
    const std::vector<std::pair<int, int>> setup = {{0, 0}, {32, 0}, {7, 100}, {10, 64}};
    auto piano = shapeOf(file.tracks[1]);
    EXPECT_EQ(piano.channels, std::vector<int>{1});
    EXPECT_EQ(piano.program, 0);
    EXPECT_EQ(piano.controls, setup);
    EXPECT_TRUE(piano.sustain);
    EXPECT_EQ(piano.notes, 695u);
    EXPECT_EQ(file.tracks[1].endTick, 24671u);

    auto strings = shapeOf(file.tracks[2]);
    EXPECT_EQ(strings.channels, std::vector<int>{2});
    EXPECT_EQ(strings.program, 48);
    EXPECT_EQ(strings.controls, setup);
    EXPECT_EQ(strings.notes, 105u);
    EXPECT_EQ(file.tracks[2].endTick, 24514u);
}

TEST_F(BuiltInMusic, IdleChannelsAndEmptyTracks) {
    for (int n = 4; n <= 17; ++n) {
        auto s = shapeOf(file.tracks[static_cast<std::size_t>(n - 1)]);
        EXPECT_EQ(s.channels, std::vector<int>{n - 1}) << "track " << n;
        EXPECT_EQ(s.controls,
                  (std::vector<std::pair<int, int>>{{0, 0}, {32, 0}, {7, 100}, {10, 64}}));
        EXPECT_EQ(s.notes, 0u);
        EXPECT_EQ(s.program, -1);
    }
    for (int n = 18; n <= 29; ++n) {
        EXPECT_EQ(file.tracks[static_cast<std::size_t>(n - 1)].events.size(), 1u) << "track " << n;
    }
}

}  // namespace
}  // namespace vellicor::music
