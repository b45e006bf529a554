// vellicor-compose: writes the window's background music, an original piece for piano and
// strings in C major, as a standard MIDI file and as a C++ byte array that the core embeds.
//
//   vellicor-compose OUT.mid OUT.cpp
//
// The piece is fully determined by this program, so every build embeds the same bytes.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kDivision = 120;  // ticks per quarter note
constexpr int kBar = 4 * kDivision;
constexpr int kTracks = 29;
constexpr std::uint32_t kTempo = 705882;  // microseconds per quarter: 85 beats per minute
constexpr int kPianoEnd = 24671;
constexpr int kStringsEnd = 24514;
constexpr int kFinalBar = 50;

// One event of a track before it is written: absolute tick, a rank that orders events on the
// same tick (releases before attacks), and the bytes after the delta time.
struct Event {
    int tick = 0;
    int rank = 0;
    Bytes bytes;
};

enum Rank {
    kRankSetup = 0,
    kRankRelease = 1,
    kRankPedalUp = 2,
    kRankAttack = 3,
    kRankPedalDown = 4
};

class Track {
  public:
    void meta(int tick, std::uint8_t type, const Bytes& data) {
        Bytes b{0xFF, type};
        appendVlq(b, static_cast<std::uint32_t>(data.size()));
        b.insert(b.end(), data.begin(), data.end());
        events_.push_back({tick, kRankSetup, b});
    }
    void text(int tick, std::uint8_t type, const std::string& s) {
        meta(tick, type, Bytes(s.begin(), s.end()));
    }
    void channel(int tick, int rank, std::uint8_t status, std::uint8_t a, std::uint8_t b) {
        events_.push_back({tick, rank, Bytes{status, a, b}});
    }
    void program(int tick, int ch, std::uint8_t p) {
        events_.push_back({tick, kRankSetup, Bytes{static_cast<std::uint8_t>(0xC0 | ch), p}});
    }
    void control(int tick, int rank, int ch, std::uint8_t c, std::uint8_t v) {
        channel(tick, rank, static_cast<std::uint8_t>(0xB0 | ch), c, v);
    }
    // A note off is written as a note on with velocity 0, so running status covers both.
    void note(int ch, int start, int length, int key, int velocity) {
        auto on = static_cast<std::uint8_t>(0x90 | ch);
        channel(start, kRankAttack, on, static_cast<std::uint8_t>(key),
                static_cast<std::uint8_t>(velocity));
        channel(start + length, kRankRelease, on, static_cast<std::uint8_t>(key), 0);
        ++notes_;
    }
    int notes() const { return notes_; }

    // The chunk, with running status for channel events and the end of track at `end`.
    Bytes chunk(int end) {
        std::stable_sort(events_.begin(), events_.end(), [](const Event& x, const Event& y) {
            return x.tick != y.tick ? x.tick < y.tick : x.rank < y.rank;
        });
        Bytes body;
        int now = 0;
        std::uint8_t running = 0;
        for (const Event& e : events_) {
            appendVlq(body, static_cast<std::uint32_t>(e.tick - now));
            now = e.tick;
            bool isChannel = e.bytes[0] < 0xF0;
            std::size_t from = (isChannel && e.bytes[0] == running) ? 1 : 0;
            running = isChannel ? e.bytes[0] : 0;
            body.insert(body.end(), e.bytes.begin() + static_cast<long>(from), e.bytes.end());
        }
        appendVlq(body, static_cast<std::uint32_t>(end - now));
        body.insert(body.end(), {0xFF, 0x2F, 0x00});
        Bytes out{'M', 'T', 'r', 'k'};
        appendBe(out, static_cast<std::uint32_t>(body.size()), 4);
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

    static void appendVlq(Bytes& b, std::uint32_t v) {
        std::array<std::uint8_t, 4> groups{};
        int n = 0;
        do {
            groups[static_cast<std::size_t>(n++)] = static_cast<std::uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v != 0 && n < 4);
        for (int i = n - 1; i >= 0; --i) {
            auto g = groups[static_cast<std::size_t>(i)];
            b.push_back(static_cast<std::uint8_t>(i > 0 ? (g | 0x80) : g));
        }
    }
    static void appendBe(Bytes& b, std::uint32_t v, int width) {
        for (int i = width - 1; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }

  private:
    std::vector<Event> events_;
    int notes_ = 0;
};

// ---- harmony ----------------------------------------------------------------------------

struct Chord {
    int root;  // pitch class, C = 0
    bool minor;
};

constexpr Chord C{0, false}, Dm{2, true}, Em{4, true}, F{5, false}, G{7, false}, Am{9, true};

// Bars 0..49; bar 50 is the closing chord.
std::vector<Chord> progression() {
    std::vector<Chord> bars = {C, Am, F, G};  // intro
    for (auto c : {C, G, Am, Em, F, C, F, G, C, G, Am, Em, F, G, C, C}) bars.push_back(c);
    for (auto c : {Am, F, C, G, Am, F, G, G, F, G, Em, Am, Dm, G, C, G}) bars.push_back(c);
    for (auto c : {C, G, Am, Em, F, C, F, G, F, G, C, C}) bars.push_back(c);  // return
    for (auto c : {F, G}) bars.push_back(c);                                  // closing
    return bars;
}

std::array<int, 3> triad(Chord c) {
    return {c.root, (c.root + (c.minor ? 3 : 4)) % 12, (c.root + 7) % 12};
}

bool inChord(Chord c, int key) {
    auto t = triad(c);
    return std::find(t.begin(), t.end(), key % 12) != t.end();
}

// Five rising chord tones from the root, low enough to leave the melody its own register.
std::array<int, 5> ladder(Chord c) {
    int root = (c.root < 5 ? 48 : 36) + c.root;
    std::array<int, 5> keys{};
    int k = root;
    for (int& slot : keys) {
        while (!inChord(c, k)) ++k;
        slot = k++;
    }
    return keys;
}

// ---- the parts --------------------------------------------------------------------------

constexpr int kPiano = 0;
constexpr int kStrings = 1;

void pianoAccompaniment(Track& t, const std::vector<Chord>& bars) {
    constexpr std::array<int, 8> kRising = {0, 1, 2, 3, 4, 3, 2, 1};
    constexpr std::array<int, 8> kRocking = {0, 2, 1, 3, 2, 4, 3, 1};
    for (std::size_t i = 0; i < bars.size(); ++i) {
        int bar = static_cast<int>(i) * kBar;
        bool middle = i >= 20 && i < 36;
        const auto& shape = middle ? kRocking : kRising;
        auto keys = ladder(bars[i]);
        for (int step = 0; step < 8; ++step) {
            int velocity = (step % 2 == 0 ? 76 : 68) + (middle ? 4 : 0);
            t.note(kPiano, bar + step * 60, 58, keys[static_cast<std::size_t>(shape[step])],
                   velocity);
        }
        t.note(kPiano, bar, kBar - 10, keys[0] - 12, 80);
        t.control(bar, kRankPedalUp, kPiano, 64, 0);
        t.control(bar + 4, kRankPedalDown, kPiano, 64, 127);
    }
}

// One bar of melody: durations in ticks and scale steps above the chord's root. Chord tones
// (0, 2, 4, 7) fall on the first and third beats; the last bar of a phrase breathes.
struct Figure {
    std::vector<int> rhythm;
    std::vector<int> steps;
};

const std::array<Figure, 4>& phrase(bool middle) {
    static const std::array<Figure, 4> kCalm = {{
        {{120, 60, 60, 120, 120}, {2, 1, 2, 4, 2}},
        {{120, 60, 60, 120, 120}, {4, 5, 4, 2, 0}},
        {{60, 60, 120, 60, 60, 120}, {0, 1, 2, 4, 3, 2}},
        {{240, 120, 120}, {2, 1, 0}},
    }};
    static const std::array<Figure, 4> kFlowing = {{
        {{120, 60, 60, 60, 60, 120}, {0, 1, 2, 4, 3, 2}},
        {{60, 60, 60, 60, 120, 60, 60}, {4, 3, 2, 3, 4, 5, 4}},
        {{60, 60, 60, 60, 60, 60, 60, 60}, {7, 6, 5, 4, 2, 3, 4, 2}},
        {{120, 60, 60, 240}, {2, 1, 2, 0}},
    }};
    return middle ? kFlowing : kCalm;
}

// The key of a scale degree counted from C5 (degree 0); negative degrees go below.
int degreeKey(int degree) {
    constexpr std::array<int, 7> kMajor = {0, 2, 4, 5, 7, 9, 11};
    int octave = (degree >= 0 ? degree : degree - 6) / 7;
    int within = degree - 7 * octave;
    return 72 + 12 * octave + kMajor[static_cast<std::size_t>(within)];
}

int rootDegree(Chord c) {
    constexpr std::array<int, 12> kDegreeOf = {0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 5, 6};
    int d = kDegreeOf[static_cast<std::size_t>(c.root)];
    return d >= 4 ? d - 7 : d;  // G and A sit below C5, keeping the tune in one register
}

void melody(Track& t, const std::vector<Chord>& bars) {
    for (std::size_t i = 4; i < 48; ++i) {
        bool middle = i >= 20 && i < 36;
        const Figure& f = phrase(middle)[i % 4];
        int at = static_cast<int>(i) * kBar;
        for (std::size_t n = 0; n < f.rhythm.size(); ++n) {
            bool strong = (at % 240) == 0;
            int key = degreeKey(rootDegree(bars[i]) + f.steps[n]);
            t.note(kPiano, at, f.rhythm[n] - 6, key, strong ? 96 : 86);
            at += f.rhythm[n];
        }
    }
}

// A falling line over the last two bars, then the final chord, rolled upwards.
void closing(Track& t) {
    constexpr std::array<std::pair<int, int>, 5> kLine = {
        {{81, 120}, {79, 120}, {77, 240}, {74, 240}, {71, 240}}};
    int at = 48 * kBar;
    for (auto [key, length] : kLine) {
        t.note(kPiano, at, length - 6, key, 86);
        at += length;
    }
    at = kFinalBar * kBar;
    int roll = 0;
    for (int key : {36, 48, 55, 64, 72, 79, 84}) {
        t.note(kPiano, at + roll, kPianoEnd - 11 - (at + roll), key, 78);
        roll += 12;
    }
    t.control(at, kRankPedalUp, kPiano, 64, 0);
    t.control(at + 4, kRankPedalDown, kPiano, 64, 127);
    t.control(kPianoEnd - 6, kRankPedalUp, kPiano, 64, 0);
}

void strings(Track& t, const std::vector<Chord>& bars) {
    auto chord = [&](Chord c, int at, int length, int velocity) {
        std::array<int, 3> keys{};
        auto tones = triad(c);
        for (std::size_t v = 0; v < 3; ++v) keys[v] = 55 + ((tones[v] - 7 + 12) % 12);
        for (int k : keys) t.note(kStrings, at, length, k, velocity);
    };
    for (std::size_t i = 8; i < 42; ++i) {
        bool middle = i >= 20 && i < 36;
        chord(bars[i], static_cast<int>(i) * kBar, kBar - 12, middle ? 30 : 26);
    }
    chord(C, kFinalBar * kBar, kStringsEnd - kFinalBar * kBar, 28);
}

void setup(Track& t, int ch, bool withProgram, std::uint8_t program) {
    t.meta(0, 0x21, {0x00});  // MIDI port 0
    t.control(0, kRankSetup, ch, 0, 0);
    t.control(0, kRankSetup, ch, 32, 0);
    if (withProgram)
        t.program(0, ch, program);
    t.control(0, kRankSetup, ch, 7, 100);
    t.control(0, kRankSetup, ch, 10, 64);
}

Bytes conductor() {
    Track t;
    t.text(0, 0x03, "untitled");
    t.text(0, 0x02, "Vellicor");
    t.text(0, 0x01, "background music");
    t.meta(0, 0x54, {0x60, 0x00, 0x00, 0x00, 0x00});
    t.meta(0, 0x58, {0x04, 0x02, 0x18, 0x08});
    t.meta(0, 0x59, {0x00, 0x00});
    t.meta(0, 0x51,
           {static_cast<std::uint8_t>(kTempo >> 16), static_cast<std::uint8_t>(kTempo >> 8),
            static_cast<std::uint8_t>(kTempo)});
    return t.chunk(0);
}

Bytes compose(int& pianoNotes, int& stringNotes) {
    auto bars = progression();
    Bytes file{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1};
    Track::appendBe(file, kTracks, 2);
    Track::appendBe(file, kDivision, 2);
    auto add = [&](Bytes chunk) { file.insert(file.end(), chunk.begin(), chunk.end()); };
    add(conductor());

    Track piano;
    setup(piano, kPiano, true, 0);
    pianoAccompaniment(piano, bars);
    melody(piano, bars);
    closing(piano);
    pianoNotes = piano.notes();
    add(piano.chunk(kPianoEnd));

    Track strs;
    setup(strs, kStrings, true, 48);
    strings(strs, bars);
    stringNotes = strs.notes();
    add(strs.chunk(kStringsEnd));

    for (int ch = 2; ch < 16; ++ch) {
        Track idle;
        setup(idle, ch, false, 0);
        add(idle.chunk(0));
    }
    for (int n = 17; n < kTracks; ++n) {
        Track empty;
        empty.meta(0, 0x21, {0x00});
        add(empty.chunk(0));
    }
    return file;
}

bool writeMid(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool writeCpp(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path);
    out << "// Generated by vellicor-compose at build time. Do not edit.\n"
           "#include \"platform/music/built_in_music.h\"\n\n"
           "namespace vellicor::music {\n\nnamespace {\nconstexpr std::uint8_t kMusic[] = {";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out << (i % 16 == 0 ? "\n    " : " ") << static_cast<int>(bytes[i]) << ',';
    }
    out << "\n};\n}  // namespace\n\n"
           "std::span<const std::uint8_t> builtInMusic() { return kMusic; }\n\n"
           "}  // namespace vellicor::music\n";
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: vellicor-compose OUT.mid OUT.cpp\n";
        return 2;
    }
    int pianoNotes = 0;
    int stringNotes = 0;
    Bytes file = compose(pianoNotes, stringNotes);
    if (!writeMid(argv[1], file) || !writeCpp(argv[2], file)) {
        std::cerr << "vellicor-compose: cannot write the output files\n";
        return 1;
    }
    if (std::getenv("VELLICOR_COMPOSE_VERBOSE") != nullptr) {
        std::printf("%zu bytes, piano %d notes, strings %d notes\n", file.size(), pianoNotes,
                    stringNotes);
    }
    return 0;
}
