#pragma once
// The HTTP/2 section of the firing benchmark: the engine's HTTP/2 wave and its HTTP/1.1 way
// against one TLS receiver, beside the per-socket floor and a single-write HTTP/2 floor.

#include <string>

namespace vellicor::bench {

// The first line of its section in RESULTS.md.
extern const char* const kH2Heading;

// Runs every HTTP/2 row and returns the section; at N = 100 the engine's ways and the floors
// take turns for `runs` runs.
std::string h2Section(int runs);

}  // namespace vellicor::bench
