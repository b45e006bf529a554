// Any bytes as the record page: seven balances, and a number only where one was read.

#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "mall/balances.h"
#include "platform/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    const std::string page = gbkToUtf8(fuzz::bytes(data, size));
    const auto balances = mall::parseBalances(page);
    fuzz::require(balances.size() == mall::games().size(), "one balance per game");
    for (const auto& b : balances) {
        fuzz::require(b.game != nullptr, "a balance names its game");
        fuzz::require(!fuzz::hasLineBreak(b.text), "a balance caption is one line");
        if (b.state == mall::BalanceState::Read) {
            fuzz::require(fuzz::isDigits(b.amount), "a read balance is digits");
        } else {
            fuzz::require(b.amount.empty(), "no amount without a reading");
        }
    }
    web::Reply reply;
    reply.status = 200;
    reply.body = std::string(fuzz::bytes(data, size));
    if (mall::saysNotLoggedIn(page)) {
        fuzz::require(!mall::checkRecordReply(reply, page), "a login page is no record");
    }
    return 0;
}
