// Any bytes as the background music: loaded or refused, and a loaded piece plays through a
// bounded number of blocks without a synthesizer.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_check.h"
#include "platform/music/midi_file.h"
#include "platform/music/sequence.h"
#include "platform/music/sequencer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    const std::span<const std::uint8_t> bytes(data, size);
    if (auto file = music::parseMidiFile(bytes)) {
        vellicor::fuzz::require(file->tracks.size() <= file->declaredTracks || file->tracks.empty(),
                                "no more tracks than declared");
    }
    auto sequence = music::loadSequence(bytes);
    if (!sequence) {
        return 0;
    }
    music::Sequencer head(sequence.value(), 44100.0, true);
    std::size_t sent = 0;
    for (int block = 0; block < 64; ++block) {
        const std::uint64_t gap = head.dispatch([&](const music::ChannelMessage&) { ++sent; });
        head.advance(gap < 4096 ? gap : 4096);
    }
    return 0;
}
