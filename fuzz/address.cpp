// Any text as an address: what splits is usable as it stands and splits again the same way.

#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "web/page_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    const auto url = fuzz::bytes(data, size);
    auto a = web::splitAddress(url);
    if (!a) {
        return 0;
    }
    fuzz::require(!a->host.empty(), "a host");
    fuzz::require(a->port > 0 && a->port <= 65535, "a port in range");
    fuzz::require(!a->path.empty() && a->path.front() == '/', "a path from the root");
    fuzz::require(a->path.find('#') == std::string::npos, "no fragment on the wire");
    for (unsigned char c : a->host + a->path) {
        fuzz::require(c > 0x20 && c != 0x7F, "no blanks or control bytes");
    }
    const std::string again = std::string(a->secure ? "https://" : "http://") + a->host + ":" +
                              std::to_string(a->port) + a->path;
    auto b = web::splitAddress(again);
    fuzz::require(static_cast<bool>(b), "a split address splits again");
    fuzz::require(
        b->host == a->host && b->port == a->port && b->path == a->path && b->secure == a->secure,
        "and the same way");
    return 0;
}
