#pragma once
// The window's background music, composed at build time by tools/compose.

#include <cstdint>
#include <span>

namespace vellicor::music {

// A standard MIDI file: piano and strings, about 145 seconds.
std::span<const std::uint8_t> builtInMusic();

}  // namespace vellicor::music
