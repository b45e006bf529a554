#pragma once
// The HTTP/2 section of the firing benchmark: the engine's HTTP/2 wave and its HTTP/1.1 way
// against one TLS receiver, beside the per-socket floor and a single-write HTTP/2 floor.

#include <string>

namespace vellicor::bench {

// The first line of its section in RESULTS.md.
extern const char* const kH2Heading;

// Runs every HTTP/2 row and returns the section.
std::string h2Section();

}  // namespace vellicor::bench
