// A held cookie string and any reply header text: the reply's cookies merged in must never
// turn into header lines of their own on the next request.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "web/page_request.h"

namespace {

// The pairs of a cookie string, in no particular order.
std::vector<std::string> pairSet(const std::string& cookies) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= cookies.size()) {
        const auto end = std::min(cookies.find("; ", start), cookies.size());
        out.emplace_back(cookies.substr(start, end - start));
        start = end + 2;
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    const auto parts = fuzz::pieces(fuzz::bytes(data, size), 2);
    const std::string fresh = web::replyCookies(parts[1]);
    const std::string location = web::redirectTarget(parts[1]);
    fuzz::require(location.find('\n') == std::string::npos, "a location is one line");
    const std::string merged = web::mergeCookies(parts[0], fresh);
    fuzz::require(web::mergeCookies(merged, "") == merged, "merging nothing changes nothing");
    // A reply that deletes a name and sets it again moves that pair to the end on a second
    // merge: the pairs held stay the same, their order may not.
    fuzz::require(pairSet(web::mergeCookies(merged, fresh)) == pairSet(merged),
                  "a merge done twice holds what one merge holds");

    web::PageRequest request;
    request.url = "http://127.0.0.1:8080/mall/record.php";
    request.cookies = merged;
    if (auto text = web::completeHeaderText(request)) {
        const auto cookieAt = text->find("Cookie: ");
        fuzz::require(merged.empty() || cookieAt != std::string::npos, "the cookie line is sent");
        if (cookieAt != std::string::npos) {
            const auto rest = std::string_view(*text).substr(cookieAt);
            fuzz::require(!fuzz::hasLineBreak(rest), "the cookie line is the last and whole");
        }
    }
    return 0;
}
