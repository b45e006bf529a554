#pragma once
// The search behind the canary tests: made-up secrets planted in the settings, and everything
// the tool printed, wrote or sent looked through for them as it is, percent-decoded and with
// its Base64 decoded, each place allowing only the canaries that belong there.

#include <set>
#include <string>
#include <vector>

#include "raw_server.h"

namespace vellicor::test {

// What went somewhere, and the canaries that may be there.
struct Sink {
    std::string what;
    std::string text;
    std::set<std::string> allowed;
};

// The text, percent-decoded, and each run of Base64 in it decoded, one after the other.
std::string everyReading(const std::string& text);

// "CANARY in WHAT: text" for each canary found where it does not belong.
std::vector<std::string> strayCanaries(const std::vector<Sink>& sinks,
                                       const std::vector<std::string>& canaries);

// Every regular file under `folder`, as sinks that allow nothing.
std::vector<Sink> filesUnder(const std::string& folder);

// A proxy on loopback that records what reaches it (requests() of its server) and forwards
// plain HTTP to 127.0.0.1 without its own header, as a proxy does.
RawServer::Script recordingProxy();

}  // namespace vellicor::test
