#pragma once
// A MIDI file flattened into one time-ordered list of channel messages, timed in seconds.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/music/midi_file.h"
#include "platform/result.h"

namespace vellicor::music {

struct ChannelMessage {
    std::uint8_t status = 0;  // 0x80..0xEF: kind in the high nibble, channel in the low one
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;

    bool operator==(const ChannelMessage&) const = default;
};

struct TimedMessage {
    double seconds = 0;  // from the start of the piece
    std::uint64_t tick = 0;
    ChannelMessage message;
};

struct Sequence {
    std::vector<TimedMessage> messages;  // in playing order
    std::uint64_t lengthTicks = 0;       // the latest end of track
    double lengthSeconds = 0;
};

// Merges the tracks by absolute tick (on equal ticks the earlier track, then file order),
// applies the tempo changes found on the way (from any track, 500000 us per quarter until the
// first) and keeps the channel messages. Other meta events and sysex are dropped. A file
// without any channel message has nothing to play and is an error.
Result<Sequence> buildSequence(const MidiFile& file);

// parseMidiFile and buildSequence in one step, shared so that players can hold it cheaply.
Result<std::shared_ptr<const Sequence>> loadSequence(std::span<const std::uint8_t> data);

}  // namespace vellicor::music
