#pragma once
// Small builders for MIDI files in tests.

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vellicor::music::testing {

using Bytes = std::vector<std::uint8_t>;

inline void be(Bytes& out, std::uint32_t v, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A track chunk; `length` overrides the stored length (to make one run past the data).
inline Bytes track(const Bytes& body, long length = -1) {
    Bytes out{'M', 'T', 'r', 'k'};
    be(out, static_cast<std::uint32_t>(length < 0 ? static_cast<long>(body.size()) : length), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline Bytes midi(std::initializer_list<Bytes> tracks, std::uint16_t division = 480,
                  int declared = -1, std::uint16_t format = 1) {
    Bytes out{'M', 'T', 'h', 'd', 0, 0, 0, 6};
    be(out, format, 2);
    be(out, static_cast<std::uint32_t>(declared < 0 ? static_cast<int>(tracks.size()) : declared),
       2);
    be(out, division, 2);
    for (const Bytes& t : tracks) out.insert(out.end(), t.begin(), t.end());
    return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

}  // namespace vellicor::music::testing
