// Any bytes as the sign-in query's reply: a label of one line, a run of days in digits.

#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "platform/codec.h"
#include "signin/signin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    const std::string reply = gbkToUtf8(fuzz::bytes(data, size));
    const auto state = signin::parseSigninState(reply);
    fuzz::require(state.days.empty() || fuzz::isDigits(state.days), "days are digits");
    const std::string text = state.text();
    fuzz::require(!fuzz::hasLineBreak(text), "a state label is one line");
    fuzz::require(fuzz::isUtf8(text), "a state label is UTF-8");
    fuzz::require(state.signedToday == (reply.find("签到成功") != std::string::npos),
                  "signed exactly when the reply says so");
    return 0;
}
