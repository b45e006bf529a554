// Any bytes a mall connection may bring, fed whole and cut at any points: the engine's own
// reply reader must read the same reply either way, never hold a body past its cap, and
// never make up header lines.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "web/wire.h"

namespace {

using vellicor::web::ReplyReader;

struct Read {
    ReplyReader::State state;
    std::string text;  // what the reply or the error says
};

Read readAll(std::string_view stream, std::size_t step, bool close) {
    vellicor::HttpSettings settings;
    settings.maxBodyBytes = 4096;
    ReplyReader reader("http://127.0.0.1:8080/mall/index.php", settings);
    auto state = ReplyReader::State::More;
    for (std::size_t at = 0; at < stream.size() && state == ReplyReader::State::More; at += step) {
        state = reader.feed(stream.substr(at, step));
    }
    if (close) {
        state = reader.end();
    }
    auto reply = reader.take();
    if (!reply) {
        return {state, reply.error().message};
    }
    vellicor::fuzz::require(reply->body.size() <= settings.maxBodyBytes, "the body cap holds");
    const auto& head = reply->headerText;
    for (std::size_t i = 0; i < head.size(); ++i) {
        const bool pairedCr = head[i] == '\r' && i + 1 < head.size() && head[i + 1] == '\n';
        const bool pairedLf = head[i] == '\n' && i > 0 && head[i - 1] == '\r';
        vellicor::fuzz::require((head[i] != '\r' || pairedCr) && (head[i] != '\n' || pairedLf),
                                "header lines end in CRLF and nowhere else");
    }
    return {state, std::to_string(reply->status) + "\n" + head + "\n" + reply->body};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    if (size == 0) {
        return 0;
    }
    // The first byte says where to cut and whether the peer closes after the bytes.
    const auto control = data[0];
    const std::string_view stream = fuzz::bytes(data + 1, size - 1);
    const std::size_t step = 1 + (control & 0x3f);
    const bool close = (control & 0x40) != 0;
    const Read whole = readAll(stream, stream.size() + 1, close);
    const Read cut = readAll(stream, step, close);
    // The parser may see a bad start line sooner in one piece than in many; cutting may
    // delay a failure, never turn one into a reply or a reply into something else.
    const auto done = ReplyReader::State::Done;
    fuzz::require((whole.state == done) == (cut.state == done), "cutting keeps a reply a reply");
    fuzz::require(whole.state != ReplyReader::State::Done || whole.text == cut.text,
                  "a reply read in pieces is the same reply");
    return 0;
}
