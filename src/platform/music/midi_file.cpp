#include "platform/music/midi_file.h"

#include <algorithm>
#include <array>
#include <optional>

namespace vellicor::music {

namespace {

constexpr std::size_t kHeaderSize = 14;  // "MThd", length, format, tracks, division
constexpr std::size_t kChunkHead = 8;    // tag and length

// A cursor that never reads past its end; every read reports whether it could be done.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool atEnd() const { return pos_ >= bytes_.size(); }
    std::size_t left() const { return bytes_.size() - pos_; }
    std::optional<std::uint8_t> peek() const {
        if (atEnd())
            return std::nullopt;
        return bytes_[pos_];
    }
    std::optional<std::uint8_t> byte() {
        auto b = peek();
        if (b)
            ++pos_;
        return b;
    }
    // Variable-length quantity: at most four bytes of seven bits each.
    std::optional<std::uint32_t> vlq() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            auto b = byte();
            if (!b)
                return std::nullopt;
            value = (value << 7) | (*b & 0x7Fu);
            if ((*b & 0x80u) == 0)
                return value;
        }
        return std::nullopt;
    }
    std::optional<std::span<const std::uint8_t>> take(std::size_t n) {
        if (n > left())
            return std::nullopt;
        auto part = bytes_.subspan(pos_, n);
        pos_ += n;
        return part;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

std::uint32_t be(std::span<const std::uint8_t> b) {
    std::uint32_t v = 0;
    for (std::uint8_t x : b) v = (v << 8) | x;
    return v;
}

bool hasTag(std::span<const std::uint8_t> b, const char* tag) {
    return b.size() >= 4 && std::equal(b.begin(), b.begin() + 4, tag);
}

int dataBytes(std::uint8_t status) {
    std::uint8_t kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
}

enum class Step { Event, End, Broken };

class TrackParser {
  public:
    explicit TrackParser(std::span<const std::uint8_t> body) : in_(body) {}

    MidiTrack parse() {
        Step step = Step::Event;
        while (!in_.atEnd() && step == Step::Event) step = next();
        track_.complete = step == Step::End;
        track_.endTick = tick_;  // the end of track, or the last event that parsed
        return std::move(track_);
    }

  private:
    Step next() {
        auto delta = in_.vlq();
        auto lead = in_.peek();
        if (!delta || !lead)
            return Step::Broken;
        std::uint64_t at = tick_ + *delta;
        if (*lead == 0xFF)
            return meta(at);
        if (*lead == 0xF0 || *lead == 0xF7)
            return sysex(at);
        if (*lead > 0xF0)
            return Step::Broken;  // real-time and common messages do not occur in files
        return channel(at);
    }

    Step meta(std::uint64_t at) {
        in_.byte();
        auto type = in_.byte();
        auto length = in_.vlq();
        if (!type || !length)
            return Step::Broken;
        auto payload = in_.take(*length);
        if (!payload)
            return Step::Broken;
        tick_ = at;
        if (*type == 0x2F)
            return Step::End;
        MidiEvent e{at, MidiEvent::Kind::Meta, *type, 0, 0, {payload->begin(), payload->end()}};
        track_.events.push_back(std::move(e));
        return Step::Event;
    }

    Step sysex(std::uint64_t at) {
        auto lead = in_.byte();
        auto length = in_.vlq();
        if (!length || !in_.take(*length))
            return Step::Broken;
        tick_ = at;
        track_.events.push_back(MidiEvent{at, MidiEvent::Kind::SysEx, *lead, 0, 0, {}});
        return Step::Event;
    }

    Step channel(std::uint64_t at) {
        std::uint8_t status = *in_.peek();
        if (status & 0x80) {
            in_.byte();
            running_ = status;
        } else if (running_ == 0) {
            return Step::Broken;  // a data byte with no status to run on
        }
        std::array<std::uint8_t, 2> d{};
        for (int i = 0; i < dataBytes(running_); ++i) {
            auto b = in_.byte();
            if (!b || (*b & 0x80))
                return Step::Broken;
            d[static_cast<std::size_t>(i)] = *b;
        }
        tick_ = at;
        track_.events.push_back(MidiEvent{at, MidiEvent::Kind::Channel, running_, d[0], d[1], {}});
        return Step::Event;
    }

    Reader in_;
    MidiTrack track_;
    std::uint64_t tick_ = 0;
    std::uint8_t running_ = 0;
};

}  // namespace

Result<MidiFile> parseMidiFile(std::span<const std::uint8_t> data) {
    if (data.size() <= 4 || !hasTag(data, "MThd")) {
        return makeError(ErrorCode::Parse, "not a standard MIDI file");
    }
    if (data.size() < kHeaderSize || be(data.subspan(4, 4)) != 6) {
        return makeError(ErrorCode::Parse, "MIDI header length is not 6");
    }
    MidiFile file;
    file.format = static_cast<std::uint16_t>(be(data.subspan(8, 2)));
    file.declaredTracks = static_cast<std::uint16_t>(be(data.subspan(10, 2)));
    file.division = static_cast<std::uint16_t>(be(data.subspan(12, 2)));
    if ((file.division & 0x7FFF) == 0 ||
        ((file.division & 0x8000) && (file.division & 0xFF) == 0)) {
        return makeError(ErrorCode::Parse, "MIDI division is zero");
    }
    Reader in(data.subspan(kHeaderSize));
    for (int i = 0; i < file.declaredTracks && in.left() >= kChunkHead; ++i) {
        auto head = *in.take(kChunkHead);
        if (!hasTag(head, "MTrk"))
            return makeError(ErrorCode::Parse, "chunk is not a track");
        std::size_t length = std::min<std::size_t>(be(head.subspan(4, 4)), in.left());
        file.tracks.push_back(TrackParser(*in.take(length)).parse());
    }
    return file;
}

}  // namespace vellicor::music
