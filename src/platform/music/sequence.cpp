#include "platform/music/sequence.h"

#include <algorithm>

namespace vellicor::music {

namespace {

constexpr std::uint32_t kDefaultTempo = 500000;  // microseconds per quarter note
constexpr std::uint8_t kTempoMeta = 0x51;

struct Ref {
    std::uint64_t tick;
    const MidiEvent* event;
};

// Seconds per tick under a tempo, or the fixed rate of an SMPTE division (which ignores tempo).
class TickClock {
  public:
    explicit TickClock(std::uint16_t division) {
        if (division & 0x8000) {
            int fps = -static_cast<std::int8_t>(division >> 8);
            double rate = fps == 29 ? 29.97 : fps;
            smpteTick_ = 1.0 / (rate * (division & 0xFF));
        } else {
            quarterTicks_ = division;
        }
    }
    void setTempo(std::uint32_t microsPerQuarter) { tempo_ = microsPerQuarter; }
    double at(std::uint64_t tick) {
        double perTick = smpteTick_ > 0 ? smpteTick_ : tempo_ * 1e-6 / quarterTicks_;
        if (tick > lastTick_)
            seconds_ += static_cast<double>(tick - lastTick_) * perTick;
        lastTick_ = std::max(lastTick_, tick);
        return seconds_;
    }

  private:
    double smpteTick_ = 0;
    double quarterTicks_ = 1;
    double tempo_ = kDefaultTempo;
    double seconds_ = 0;
    std::uint64_t lastTick_ = 0;
};

bool isTempo(const MidiEvent& e) {
    return e.kind == MidiEvent::Kind::Meta && e.status == kTempoMeta && e.data.size() == 3;
}

std::vector<Ref> merged(const MidiFile& file) {
    std::vector<Ref> refs;
    for (const MidiTrack& track : file.tracks) {
        for (const MidiEvent& e : track.events) {
            if (e.kind == MidiEvent::Kind::Channel || isTempo(e))
                refs.push_back({e.tick, &e});
        }
    }
    // Tracks went in one after another, each in its own order: a stable sort by tick keeps
    // the earlier track first on equal ticks.
    std::stable_sort(refs.begin(), refs.end(),
                     [](const Ref& a, const Ref& b) { return a.tick < b.tick; });
    return refs;
}

}  // namespace

Result<Sequence> buildSequence(const MidiFile& file) {
    Sequence seq;
    TickClock clock(file.division);
    for (const Ref& ref : merged(file)) {
        const MidiEvent& e = *ref.event;
        double at = clock.at(ref.tick);
        if (e.kind == MidiEvent::Kind::Meta) {
            clock.setTempo((std::uint32_t{e.data[0]} << 16) | (std::uint32_t{e.data[1]} << 8) |
                           e.data[2]);
            continue;
        }
        seq.messages.push_back({at, ref.tick, {e.status, e.data1, e.data2}});
    }
    if (seq.messages.empty())
        return makeError(ErrorCode::Parse, "the music has no notes");
    for (const MidiTrack& track : file.tracks)
        seq.lengthTicks = std::max(seq.lengthTicks, track.endTick);
    seq.lengthSeconds = clock.at(seq.lengthTicks);
    return seq;
}

Result<std::shared_ptr<const Sequence>> loadSequence(std::span<const std::uint8_t> data) {
    auto file = parseMidiFile(data);
    if (!file)
        return file.error();
    auto seq = buildSequence(*file);
    if (!seq)
        return seq.error();
    return std::shared_ptr<const Sequence>(std::make_shared<Sequence>(std::move(seq).value()));
}

}  // namespace vellicor::music
