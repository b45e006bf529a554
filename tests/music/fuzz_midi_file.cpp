// libFuzzer entry: any bytes through the loader and the play head, without a synthesizer.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/music/sequence.h"
#include "platform/music/sequencer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor::music;
    auto sequence = loadSequence(std::span(data, size));
    if (!sequence)
        return 0;
    Sequencer head(sequence.value(), 44100.0, true);
    for (int block = 0; block < 64; ++block) {
        std::uint64_t gap = head.dispatch([](const ChannelMessage&) {});
        head.advance(gap < 4096 ? gap : 4096);
    }
    return 0;
}
