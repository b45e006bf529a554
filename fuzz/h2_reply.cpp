// Any bytes an HTTP/2 mall may send after a wave went out, fed to the connection's session
// whole or cut at any points: no stream ends twice, every stream ends once the connection is
// gone, no reply holds a body past its cap or a header line that was not one.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "fuzz_check.h"
#include "web/h2_session.h"

namespace {

using vellicor::web::H2Session;
using Kind = H2Session::Event::Kind;

constexpr std::size_t kMaxBody = 4096;
constexpr std::size_t kMaxHead = 256 * 1024;

void checkReply(const vellicor::web::Reply& reply) {
    using vellicor::fuzz::require;
    require(reply.body.size() <= kMaxBody, "the body cap holds");
    const auto& head = reply.headerText;
    require(head.size() <= kMaxHead + 64, "the header cap holds");
    require(head.rfind("HTTP/2 ", 0) == 0, "a reply's header text starts with its status line");
    for (std::size_t i = 0; i < head.size(); ++i) {
        const bool pairedCr = head[i] == '\r' && i + 1 < head.size() && head[i + 1] == '\n';
        const bool pairedLf = head[i] == '\n' && i > 0 && head[i - 1] == '\r';
        require((head[i] != '\r' || pairedCr) && (head[i] != '\n' || pairedLf),
                "header lines end in CRLF and nowhere else");
    }
    require(reply.status >= 200 && reply.status <= 999, "a reply has a final status");
}

void tally(std::map<std::uint64_t, int>& ends, std::vector<H2Session::Event>& events) {
    for (auto& e : events) {
        vellicor::fuzz::require(++ends[e.tag] == 1, "a stream ends at most once");
        if (e.kind == Kind::Reply) {
            vellicor::fuzz::require(e.reply.ok(), "a reply event holds a reply");
            checkReply(*e.reply);
        } else {
            vellicor::fuzz::require(!e.reply.ok() && !e.reply.error().message.empty(),
                                    "a stream that ended without a reply says why");
        }
    }
    events.clear();
}

vellicor::web::H2Request request(const std::string& path, std::string body) {
    vellicor::web::H2Request r;
    r.method = body.empty() ? "GET" : "POST";
    r.scheme = "https";
    r.authority = "mall.example";
    r.path = path;
    r.url = "https://mall.example" + path;
    r.fields = {{"cookie", "uin=o1; skey=k"}};
    r.body = std::move(body);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vellicor;
    if (size == 0) {
        return 0;
    }
    // The first byte: where to cut, whether the held end is released halfway, whether the
    // third stream is given up on, and whether the last write reached the mall.
    const auto control = data[0];
    const std::string_view stream = fuzz::bytes(data + 1, size - 1);
    const std::size_t step = 1 + (control & 0x0f) * 97;
    const bool release = (control & 0x10) != 0;
    const bool cancel = (control & 0x20) != 0;
    const bool delivered = (control & 0x40) != 0;

    HttpSettings http;
    http.maxBodyBytes = kMaxBody;
    auto session = H2Session::create(http, "mall.example:443").value();
    std::string wire;
    std::vector<H2Session::Event> events;
    std::map<std::uint64_t, int> ends;
    session->produce(wire, events);
    fuzz::require(session->submit(request("/a", ""), 1, false).ok(), "a first stream is taken");
    fuzz::require(session->submit(request("/b", ""), 2, true).ok(), "a held stream is taken");
    fuzz::require(session->submit(request("/c", "k=v"), 3, false).ok(), "a POST is taken");
    session->flush(wire, events);
    const std::uint64_t sent = session->produced();
    for (std::size_t at = 0; at < stream.size() && !session->finished(); at += step) {
        session->receive(stream.substr(at, step), events);
        session->produce(wire, events);
        if (release && at == 0) {
            session->releaseEnds();
            session->flush(wire, events);
        }
        if (cancel && at == 0) {
            session->cancel(3);
        }
        tally(ends, events);
        wire.clear();  // the socket took it
    }
    session->lost(makeError(ErrorCode::Transfer, "gone"), delivered ? session->produced() : sent,
                  events);
    tally(ends, events);
    fuzz::require(session->openStreams() == 0, "nothing is open once the connection is gone");
    for (std::uint64_t tag : {1, 2, 3}) {
        const bool given = cancel && tag == 3;
        fuzz::require(given || ends[tag] == 1, "every stream ends once the connection is gone");
    }
    return 0;
}
