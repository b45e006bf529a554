#pragma once
// A page request as the bytes that go on the wire, and a reader that turns the bytes that come
// back into a Reply: for connections the exchange engine writes on itself, so that at the
// instant nothing is left to do but write.

#include <memory>
#include <string>
#include <string_view>

#include "platform/config.h"
#include "platform/result.h"
#include "web/page_request.h"

namespace vellicor::web {

// The request as HTTP/1.1 bytes, with the same header text, agent and body as a Transfer of
// it would carry. Requests through a proxy are not written this way.
Result<std::string> requestBytes(const PageRequest& request);

// Reads one reply from a byte stream. Bounded: headers past 256 KiB and bodies past
// maxBodyBytes are errors, not buffered.
class ReplyReader {
  public:
    // `url` is the request's address, for error texts and relative redirects.
    ReplyReader(std::string url, const HttpSettings& settings);
    ~ReplyReader();
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    enum class State { More, Done, Failed };
    State feed(std::string_view bytes);
    // The peer closed the connection: a reply that ends at the close is complete.
    State end();
    State state() const;
    bool gotBytes() const { return gotBytes_; }
    // Whether the connection may carry another request after this reply.
    bool keepAlive() const;
    Result<Reply> take();
    // The error of a reply that did not come in time.
    Error timedOut() const;

  private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
    std::string url_;
    std::string where_;
    std::size_t maxBody_ = 0;
    std::string pending_;
    std::string error_;
    ErrorCode errorCode_ = ErrorCode::Transfer;
    bool gotBytes_ = false;
    bool done_ = false;
    bool headerChecked_ = false;
    State fail(ErrorCode code, std::string message);
    State parse();
    bool overCap() const;
    void fresh();
};

namespace detail {
// A Location value as an absolute address: a relative one is completed against `url`, the
// request's address, as a browser would; an absolute or empty one is returned as it is.
std::string absoluteRedirect(const std::string& url, const std::string& location);
}  // namespace detail

}  // namespace vellicor::web
