#pragma once
// Standard MIDI files, read defensively: the data may come from anywhere, so every length and
// count is checked against what is actually there.

#include <cstdint>
#include <span>
#include <vector>

#include "platform/result.h"

namespace vellicor::music {

struct MidiEvent {
    enum class Kind : std::uint8_t { Channel, Meta, SysEx };

    std::uint64_t tick = 0;  // absolute, from the start of its track
    Kind kind = Kind::Channel;
    std::uint8_t status = 0;  // channel: the status byte; meta: its type; sysex: 0xF0 or 0xF7
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
    std::vector<std::uint8_t> data;  // meta payload (sysex payloads are not kept)
};

struct MidiTrack {
    std::vector<MidiEvent> events;  // in file order, the end of track excluded
    std::uint64_t endTick = 0;      // the end-of-track event, or the last good event
    bool complete = false;          // false when the track was cut short or malformed
};

struct MidiFile {
    std::uint16_t format = 0;
    std::uint16_t declaredTracks = 0;  // as the header says; `tracks` may hold fewer
    std::uint16_t division = 0;        // as stored: ticks per quarter, or SMPTE when bit 15 is set
    std::vector<MidiTrack> tracks;
};

// Rejects (nothing plays) data of 4 bytes or less, data not beginning with "MThd", a header
// length other than 6, a zero division and any chunk that is not "MTrk". WAVE data ("RIFF")
// is not music for this player either. Damage inside a track ends that track at its last
// well-formed event; a track whose length runs past the end of the data keeps what is there.
Result<MidiFile> parseMidiFile(std::span<const std::uint8_t> data);

}  // namespace vellicor::music
