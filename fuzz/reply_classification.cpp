// Any bytes as the mall's answer to an exchange: the outcome must be one clean log line.

#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "mall/outcome.h"
#include "platform/codec.h"
#include "platform/html_text.h"

namespace {

void checkOutcome(const vellicor::mall::Outcome& outcome, bool textIsUtf8) {
    using namespace vellicor;
    fuzz::require(!outcome.message.empty(), "an outcome says something");
    fuzz::require(!fuzz::hasLineBreak(outcome.message), "an outcome message is one line");
    if (textIsUtf8) {
        fuzz::require(fuzz::isUtf8(outcome.message), "an outcome message is UTF-8");
    }
    const std::string line = mall::outcomeLine("12:00:00.000 [x] #1", outcome.message);
    fuzz::require(line.find('\n') == line.size() - 1, "an outcome line ends at its only break");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    const auto raw = fuzz::bytes(data, size);
    const std::string page = gbkToUtf8(raw);
    fuzz::require(fuzz::isUtf8(page), "decoded GBK is UTF-8");
    checkOutcome(mall::classifyReply(200, page), true);
    checkOutcome(mall::classifyReply(503, page), true);
    // The engine always decodes first; undecoded bytes must still not break the line.
    checkOutcome(mall::classifyReply(200, raw), false);
    const std::string text = visibleText(page);
    fuzz::require(!fuzz::hasLineBreak(text), "visible text has no line breaks");
    fuzz::require(fuzz::isUtf8(text), "visible text of UTF-8 is UTF-8");
    fuzz::require(unescapeHtml(escapeHtml(page)) == page, "decoding undoes encoding");
    fuzz::require(fuzz::isUtf8(mall::clipText(text, 7)), "clipping keeps whole characters");
    return 0;
}
