// An address, a cookie string and a header text from anywhere (a page, a configuration):
// what goes on the wire is only whole "Name: value" lines, or the request is refused.

#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "web/page_request.h"

namespace {

bool isHeaderLine(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
        return false;
    }
    for (unsigned char c : line.substr(0, colon)) {
        if (c <= 0x20 || c >= 0x7F) {
            return false;
        }
    }
    return line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    const auto parts = fuzz::pieces(fuzz::bytes(data, size), 4);
    web::PageRequest request;
    request.url = parts[0];
    request.cookies = parts[1];
    request.headerText = parts[2];
    request.method = parts[3].empty() ? "GET" : "POST";
    auto text = web::completeHeaderText(request);
    if (!text) {
        return 0;
    }
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto end = rest.find("\r\n");
        fuzz::require(isHeaderLine(rest.substr(0, end)), "every sent line is Name: value");
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 2);
        fuzz::require(!rest.empty(), "no empty line ends the headers early");
    }
    fuzz::require(web::hasHeaderLine(*text, "Referer:"), "a referer is always sent");
    (void)web::chooseAgent(*text);
    return 0;
}
