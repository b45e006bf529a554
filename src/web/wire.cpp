#include "web/wire.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "web/h2_connection.h"
#include "web/text_util.h"

namespace vellicor::web {
namespace {

namespace http = boost::beast::http;

constexpr std::uint32_t kMaxHeaderBytes = 256 * 1024;

std::string hostField(const Address& address) {
    const int defaultPort = address.secure ? 443 : 80;
    return address.port == defaultPort ? address.host
                                       : address.host + ":" + std::to_string(address.port);
}

// curl sends a line with an empty value as "Name:"; the same here.
void appendHeaderLines(std::string& out, std::string_view text) {
    for (auto line : detail::splitOn(text, "\r\n")) {
        const auto colon = line.find(':');
        if (detail::trimBlanks(line.substr(colon + 1)).empty()) {
            out.append(line.substr(0, colon)).append(":\r\n");
        } else {
            out.append(line).append("\r\n");
        }
    }
}

std::string base(const Address& a) {
    return std::string(a.secure ? "https://" : "http://") + hostField(a);
}

}  // namespace

std::string detail::absoluteRedirect(const std::string& url, const std::string& location) {
    if (location.empty() || detail::startsWithNoCase(location, "http://") ||
        detail::startsWithNoCase(location, "https://")) {
        return location;
    }
    auto address = splitAddress(url);
    if (!address) {
        return location;
    }
    if (location.front() == '/') {
        return base(*address) + location;
    }
    std::string path = address->path.substr(0, address->path.find('?'));
    return base(*address) + path.substr(0, path.rfind('/') + 1) + location;
}

namespace {

// Fields HTTP/2 forbids (connection-specific) or carries as a pseudo-header instead.
bool h2Forbidden(std::string_view lowerName, std::string_view value) {
    for (std::string_view n :
         {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade", "host"}) {
        if (lowerName == n) {
            return true;
        }
    }
    return lowerName == "te" && !detail::equalsNoCase(value, "trailers");
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    return out;
}

}  // namespace

Result<H2Request> h2Request(const PageRequest& request) {
    auto text = sendableHeaderText(request);
    if (!text) {
        return text.error();
    }
    H2Request r;
    r.url = expandQuoteMarker(request.url, "%22");
    auto address = splitAddress(r.url);
    if (!address) {
        return address.error();
    }
    r.method = request.method;
    r.scheme = address->secure ? "https" : "http";
    r.authority = hostField(*address);
    r.path = address->path;
    if (!hasHeaderLine(*text, "User-Agent:")) {
        r.fields.emplace_back("user-agent", std::string(kDefaultAgent));
    }
    for (auto line : detail::splitOn(*text, "\r\n")) {
        const auto colon = line.find(':');
        const std::string name = lower(detail::trimBlanks(line.substr(0, colon)));
        const auto value = std::string(detail::trimBlanks(line.substr(colon + 1)));
        if (name == "host") {
            // The caller's Host, as the HTTP/1.1 bytes would carry it.
            r.authority = value.empty() ? r.authority : value;
        } else if (!h2Forbidden(name, value)) {
            r.fields.emplace_back(name, value);
        }
    }
    if (request.method == "POST") {
        r.body = expandQuoteMarker(request.body, "\"");
        r.fields.emplace_back("content-length", std::to_string(r.body.size()));
    }
    return r;
}

Result<std::string> requestBytes(const PageRequest& request) {
    auto text = sendableHeaderText(request);
    if (!text) {
        return text.error();
    }
    auto address = splitAddress(expandQuoteMarker(request.url, "%22"));
    if (!address) {
        return address.error();
    }
    std::string out = request.method + " " + address->path + " HTTP/1.1\r\n";
    if (!hasHeaderLine(*text, "Host:")) {
        out += "Host: " + hostField(*address) + "\r\n";
    }
    if (!hasHeaderLine(*text, "User-Agent:")) {
        out += "User-Agent: " + std::string(kDefaultAgent) + "\r\n";
    }
    appendHeaderLines(out, *text);
    std::string body;
    if (request.method == "POST") {
        body = expandQuoteMarker(request.body, "\"");
        out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return out + "\r\n" + body;
}

struct ReplyReader::Parser {
    http::response_parser<http::string_body> p;
};

ReplyReader::ReplyReader(std::string url, const HttpSettings& settings)
    : url_(std::move(url)), maxBody_(settings.maxBodyBytes) {
    if (auto address = splitAddress(url_)) {
        where_ = address->host + ":" + std::to_string(address->port);
    }
    fresh();
}

ReplyReader::~ReplyReader() = default;

void ReplyReader::fresh() {
    parser_ = std::make_unique<Parser>();
    // Stops after the header, so that the announced length is checked before the parser
    // sets aside room for the body.
    parser_->p.eager(false);
    headerChecked_ = false;
    parser_->p.header_limit(kMaxHeaderBytes);
    parser_->p.body_limit(maxBody_);
}

ReplyReader::State ReplyReader::state() const {
    if (!error_.empty()) {
        return State::Failed;
    }
    return done_ ? State::Done : State::More;
}

ReplyReader::State ReplyReader::fail(ErrorCode code, std::string message) {
    errorCode_ = code;
    error_ = std::move(message) + " (" + where_ + ")";
    return State::Failed;
}

ReplyReader::State ReplyReader::feed(std::string_view bytes) {
    if (state() != State::More) {
        return state();  // bytes after the reply belong to no request of ours
    }
    gotBytes_ = gotBytes_ || !bytes.empty();
    pending_.append(bytes);
    return parse();
}

ReplyReader::State ReplyReader::parse() {
    while (!pending_.empty()) {
        boost::beast::error_code ec;
        const std::size_t used = parser_->p.put(boost::asio::buffer(pending_), ec);
        pending_.erase(0, used);
        if (ec == http::error::need_more) {
            return State::More;
        }
        if (ec == http::error::body_limit) {
            return fail(ErrorCode::TooLarge,
                        "reply body over the cap of " + std::to_string(maxBody_) + " bytes");
        }
        if (ec == http::error::header_limit) {
            return fail(ErrorCode::TooLarge, "reply headers too large");
        }
        if (ec) {
            return fail(ErrorCode::Transfer, "not an HTTP reply: " + ec.message());
        }
        if (overCap()) {
            return fail(ErrorCode::TooLarge,
                        "reply body over the cap of " + std::to_string(maxBody_) + " bytes");
        }
        if (parser_->p.is_header_done() && !headerChecked_) {
            headerChecked_ = true;
            parser_->p.eager(true);
        }
        if (parser_->p.is_done()) {
            if (parser_->p.get().result_int() / 100 == 1) {
                fresh();  // an interim reply; the final one follows
                continue;
            }
            done_ = true;
            return State::Done;
        }
        if (used == 0 && !parser_->p.is_header_done()) {
            return State::More;
        }
    }
    return State::More;
}

// The parser's own limit does not hold every body it reads (nor its reservation for an
// announced one): the cap is checked here, against the announced length once the header is
// in and against what came so far.
bool ReplyReader::overCap() const {
    if (!parser_->p.is_header_done()) {
        return false;
    }
    const auto announced = parser_->p.content_length();
    return (announced && *announced > maxBody_) || parser_->p.get().body().size() > maxBody_;
}

ReplyReader::State ReplyReader::end() {
    if (state() != State::More) {
        return state();
    }
    if (!gotBytes_) {
        return fail(ErrorCode::Transfer, "connection closed without a reply");
    }
    if (parser_->p.is_header_done() && parser_->p.need_eof()) {
        boost::beast::error_code ec;
        parser_->p.put_eof(ec);
        if (!ec) {
            done_ = true;
            return State::Done;
        }
    }
    return fail(ErrorCode::Transfer, "reply body cut off before its end");
}

bool ReplyReader::keepAlive() const {
    return done_ && parser_->p.keep_alive();
}

Error ReplyReader::timedOut() const {
    return makeError(ErrorCode::Timeout, "timed out (" + where_ + ")");
}

Result<Reply> ReplyReader::take() {
    if (state() == State::Failed) {
        return makeError(errorCode_, error_);
    }
    if (state() != State::Done) {
        return makeError(ErrorCode::Internal, "reply taken before its end");
    }
    auto& message = parser_->p.get();
    Reply reply;
    reply.status = message.result_int();
    reply.headerText = "HTTP/" + std::to_string(message.version() / 10) + "." +
                       std::to_string(message.version() % 10) + " " + std::to_string(reply.status) +
                       " " + std::string(message.reason().data(), message.reason().size()) + "\r\n";
    for (const auto& field : message) {
        const auto name = field.name_string();
        const auto value = field.value();
        reply.headerText.append(name.data(), name.size()).append(": ");
        reply.headerText.append(value.data(), value.size()).append("\r\n");
    }
    reply.body = std::move(message.body());
    reply.cookies = replyCookies(reply.headerText);
    reply.redirect = detail::absoluteRedirect(url_, redirectTarget(reply.headerText));
    return reply;
}

}  // namespace vellicor::web
