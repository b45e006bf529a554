#include "web/transfer.h"

#include <mutex>
#include <string_view>

#include "web/proxy_failure.h"
#include "web/proxy_setting.h"
#include "web/text_util.h"

namespace vellicor::web {
namespace {

using detail::splitOn;
using detail::startsWithNoCase;

// Header lines beyond this are not a reply of the portal; refusing them bounds memory.
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;

CURLcode globalInitCode = CURLE_OK;

template <typename T>
CURLcode set(CURL* easy, CURLoption option, T value) {
    return curl_easy_setopt(easy, option, value);
}

bool isAbsolute(std::string_view location) {
    return startsWithNoCase(location, "http://") || startsWithNoCase(location, "https://");
}

}  // namespace

CURLcode applyConnectionSettings(CURL* easy, const HttpSettings& settings,
                                 const std::string& proxy) {
    CURLcode rc = CURLE_OK;
    auto opt = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) {
            rc = set(easy, option, value);
        }
    };
    opt(CURLOPT_PROTOCOLS_STR, "http,https");
    opt(CURLOPT_NOSIGNAL, 1L);
    opt(CURLOPT_TCP_NODELAY, 1L);
    opt(CURLOPT_CONNECTTIMEOUT_MS, settings.connectTimeoutMs);
    opt(CURLOPT_SSL_VERIFYPEER, 1L);
    opt(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings.caFile.empty()) {
        // The file replaces the system's store: libcurl would still search the folder built
        // into it (/etc/ssl/certs on Debian) beside a CURLOPT_CAINFO alone.
        opt(CURLOPT_CAINFO, settings.caFile.c_str());
        opt(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    // An empty proxy switches off the environment's proxy variables; an empty no-proxy
    // list keeps the environment from exempting hosts from the proxy that was named.
    opt(CURLOPT_PROXY, proxy.c_str());
    opt(CURLOPT_NOPROXY, "");
    return rc;
}

CURLcode applyTunnelSettings(CURL* easy, const HttpSettings& settings, const ProxySetting& proxy) {
    CURLcode rc = applyConnectionSettings(easy, settings, proxy.url);
    if (rc == CURLE_OK && proxy.hasCredentials) {
        rc = set(easy, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
        if (rc == CURLE_OK) {
            rc = set(easy, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
        }
    }
    if (rc == CURLE_OK && !proxy.url.empty() && proxy.kind == ProxyKind::Http) {
        rc = set(easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
    }
    return rc;
}

long curlHttpVersion(HttpVersion version, std::string_view url) {
    switch (version) {
        case HttpVersion::Http1_1:
            return CURL_HTTP_VERSION_1_1;
        case HttpVersion::Http2:
            // Over TLS, ALPN still decides; on plain HTTP the mall is taken at its word.
            return detail::startsWithNoCase(url, "https://") ? CURL_HTTP_VERSION_2TLS
                                                             : CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
        case HttpVersion::Auto:
            break;
    }
    // HTTP/2 where the mall's TLS offers it, HTTP/1.1 on plain connections.
    return CURL_HTTP_VERSION_2TLS;
}

void ensureCurlReady() {
    static std::once_flag once;
    std::call_once(once, [] { globalInitCode = curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Everything the handle points into, and what it receives.
struct Transfer::Sink {
    std::string url;
    std::string body;
    std::string where;   // host:port for error texts
    ProxySetting proxy;  // the one the request goes through, if any
    std::size_t maxBody = 0;
    bool post = false;
    bool tooLarge = false;
    bool headerTooLarge = false;
    bool bodyStarted = false;
    long leftAtStart = 0;  // request bytes gone when libcurl last chose a connection
    int connections = 0;   // connections libcurl chose for the request since it was added
    int quietResends = 0;
    bool resendStopped = false;
    Reply reply;
    char errorText[CURL_ERROR_SIZE] = {};

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
};

namespace {

long requestSize(CURL* easy) {
    long size = 0;
    return curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &size) == CURLE_OK ? size : 0;
}

}  // namespace

// libcurl calls this on each connection it is about to write the request on: once, or again
// when it re-sends on a fresh connection after a reused one died. The request size counts
// every byte written since the transfer was added.
int Transfer::onPrereq(void* self, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(self);
    Sink& s = *t->sink_;
    const long left = requestSize(t->easy_);
    if (s.connections++ > 0) {
        if (left > s.leftAtStart) {
            s.resendStopped = true;
            return CURL_PREREQFUNC_ABORT;
        }
        ++s.quietResends;
    }
    s.leftAtStart = left;
    return CURL_PREREQFUNC_OK;
}

std::size_t Transfer::Sink::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* sink = static_cast<Sink*>(self);
    const std::size_t n = size * count;
    sink->bodyStarted = true;
    if (n > sink->maxBody - sink->reply.body.size()) {
        sink->tooLarge = true;
        return 0;  // stops the transfer
    }
    sink->reply.body.append(data, n);
    return n;
}

std::size_t Transfer::Sink::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* sink = static_cast<Sink*>(self);
    const std::size_t n = size * count;
    std::string_view line(data, n);
    if (sink->bodyStarted) {
        return n;  // trailers of a chunked body are not reply headers
    }
    if (startsWithNoCase(line, "HTTP/")) {
        sink->reply.headerText.clear();  // a 1xx reply before the final one
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (line.empty()) {
        return n;
    }
    if (sink->reply.headerText.size() + line.size() > kMaxHeaderBytes) {
        sink->headerTooLarge = true;
        return 0;
    }
    sink->reply.headerText.append(line).append("\r\n");
    return n;
}

Transfer::~Transfer() {
    if (easy_ != nullptr) {
        curl_easy_cleanup(easy_);
    }
    curl_slist_free_all(headers_);
}

namespace {

// The completed header text as curl's list. A line with an empty value is written
// "Name;", the form in which curl sends it instead of treating it as a removal.
curl_slist* headerList(const std::string& text, bool viaProxy, bool& failed) {
    curl_slist* list = nullptr;
    auto add = [&](const std::string& line) {
        auto* grown = curl_slist_append(list, line.c_str());
        failed = failed || grown == nullptr;
        list = grown != nullptr ? grown : list;
    };
    for (auto line : splitOn(text, "\r\n")) {
        const auto colon = line.find(':');
        if (detail::trimBlanks(line.substr(colon + 1)).empty()) {
            add(std::string(line.substr(0, colon)) + ";");
        } else {
            add(std::string(line));
        }
    }
    // curl would send "Expect: 100-continue" with a large body: a header nobody asked for.
    if (!hasHeaderLine(text, "Expect:")) {
        add("Expect:");
    }
    // Likewise the "Proxy-Connection: Keep-Alive" curl adds on its own through a proxy.
    if (viaProxy && !hasHeaderLine(text, "Proxy-Connection:")) {
        add("Proxy-Connection:");
    }
    return list;
}

}  // namespace

Result<std::unique_ptr<Transfer>> Transfer::prepare(const PageRequest& request,
                                                    const HttpSettings& settings) {
    ensureCurlReady();
    if (globalInitCode != CURLE_OK) {
        return makeError(ErrorCode::Internal, "the HTTP library could not start");
    }
    auto text = sendableHeaderText(request);
    if (!text) {
        return text.error();
    }
    std::unique_ptr<Transfer> t(new Transfer());
    t->sink_ = std::make_unique<Sink>();
    Sink& sink = *t->sink_;
    sink.url = expandQuoteMarker(request.url, "%22");
    auto address = splitAddress(sink.url);
    sink.where = address->host + ":" + std::to_string(address->port);
    sink.maxBody = settings.maxBodyBytes;
    sink.post = request.method == "POST";
    if (sink.post) {
        sink.body = expandQuoteMarker(request.body, "\"");
    }
    // Every scheme goes through the proxy: a secure request sent around it would show the
    // mall this computer's address, which the proxy is there to hide.
    const bool own = !request.proxy.empty();
    const std::string& proxySetting = own ? request.proxy : settings.proxy;
    ProxySetting proxy;
    if (!proxySetting.empty()) {
        auto parsed = parseProxy(proxySetting, own ? "proxy" : "http.proxy");
        if (!parsed) {
            return parsed.error();
        }
        proxy = std::move(parsed.value());
    }
    bool listFailed = false;
    t->headers_ = headerList(text.value(), !proxy.url.empty() && !address->secure, listFailed);
    t->easy_ = curl_easy_init();
    if (t->easy_ == nullptr || listFailed) {
        return makeError(ErrorCode::Internal, "out of memory setting up a request");
    }
    const bool defaultAgent = !hasHeaderLine(text.value(), "User-Agent:");
    if (auto st = t->configure(settings, proxy, defaultAgent); !st) {
        return st.error();
    }
    sink.proxy = std::move(proxy);
    return t;
}

Status Transfer::configure(const HttpSettings& settings, const ProxySetting& proxy,
                           bool defaultAgent) {
    CURL* e = easy_;
    Sink* s = sink_.get();
    CURLcode rc = CURLE_OK;
    auto opt = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) {
            rc = set(e, option, value);
        }
    };
    opt(CURLOPT_URL, s->url.c_str());
    if (rc == CURLE_OK) {
        rc = applyConnectionSettings(e, settings, proxy.url);
    }
    if (proxy.hasCredentials) {
        opt(CURLOPT_PROXYUSERNAME, proxy.user.c_str());
        opt(CURLOPT_PROXYPASSWORD, proxy.password.c_str());
    }
    opt(CURLOPT_HTTP_VERSION, curlHttpVersion(settings.version, s->url));
    opt(CURLOPT_FOLLOWLOCATION, 0L);
    opt(CURLOPT_ERRORBUFFER, s->errorText);
    opt(CURLOPT_TIMEOUT_MS, settings.totalTimeoutMs);
    opt(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(settings.maxBodyBytes));
    opt(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    opt(CURLOPT_HTTPHEADER, headers_);
    if (defaultAgent) {
        opt(CURLOPT_USERAGENT, kDefaultAgent.data());
    }
    if (s->post) {
        opt(CURLOPT_POST, 1L);
        opt(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(s->body.size()));
        opt(CURLOPT_POSTFIELDS, s->body.data());
    } else {
        opt(CURLOPT_HTTPGET, 1L);
    }
    opt(CURLOPT_WRITEFUNCTION, &Sink::onBody);
    opt(CURLOPT_WRITEDATA, s);
    opt(CURLOPT_HEADERFUNCTION, &Sink::onHeader);
    opt(CURLOPT_HEADERDATA, s);
    if (rc != CURLE_OK) {
        return makeError(ErrorCode::Internal,
                         std::string("setting up a request failed: ") + curl_easy_strerror(rc));
    }
    return Ok{};
}

Status Transfer::sendOnce(HttpVersion asked) {
    const long version = asked == HttpVersion::Http2 ? curlHttpVersion(asked, sink_->url)
                                                     : long{CURL_HTTP_VERSION_1_1};
    if (curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &Transfer::onPrereq) != CURLE_OK ||
        curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this) != CURLE_OK ||
        curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, version) != CURLE_OK) {
        return makeError(ErrorCode::Internal, "setting up a request failed: no pre-request hook");
    }
    return Ok{};
}

bool Transfer::requestLeft() const {
    return requestSize(easy_) > 0;
}

bool Transfer::gotReplyBytes() const {
    return !sink_->reply.headerText.empty() || sink_->bodyStarted;
}

int Transfer::quietResends() const {
    return sink_->quietResends;
}

void Transfer::reset() {
    sink_->connections = 0;
    sink_->leftAtStart = 0;
    sink_->quietResends = 0;
    sink_->resendStopped = false;
    sink_->reply = Reply{};
    sink_->tooLarge = false;
    sink_->headerTooLarge = false;
    sink_->bodyStarted = false;
    sink_->errorText[0] = '\0';
}

Result<Reply> Transfer::finish(CURLcode code) {
    if (code != CURLE_OK) {
        return failure(code);
    }
    Reply& r = sink_->reply;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &r.status);
    // A plain request forwarded by an HTTP proxy gets the proxy's own refusal as its reply.
    if (r.status == 407 && sink_->proxy.kind == ProxyKind::Http && !sink_->proxy.url.empty()) {
        return proxyRefusedCredentials(sink_->proxy);
    }
    r.cookies = replyCookies(r.headerText);
    r.redirect = redirectTarget(r.headerText);
    if (!r.redirect.empty() && !isAbsolute(r.redirect)) {
        char* completed = nullptr;
        if (curl_easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &completed) == CURLE_OK &&
            completed != nullptr) {
            r.redirect = completed;
        }
    }
    return std::move(r);
}

Error Transfer::failure(CURLcode code) const {
    const Sink& s = *sink_;
    const std::string detail = s.errorText[0] != '\0' ? s.errorText : curl_easy_strerror(code);
    if (auto viaProxy = proxyFailure(easy_, code, s.proxy, detail)) {
        return *viaProxy;
    }
    const std::string at = " (" + s.where + "): " + detail;
    if (s.resendStopped) {
        // What made libcurl want to write the request again, not the refusal to let it.
        return makeError(ErrorCode::Transfer, "connection lost without a reply (" + s.where + ")");
    }
    if (s.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        return makeError(ErrorCode::TooLarge,
                         "reply body over the cap of " + std::to_string(s.maxBody) + " bytes" + at);
    }
    if (s.headerTooLarge) {
        return makeError(ErrorCode::TooLarge, "reply headers too large" + at);
    }
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return makeError(ErrorCode::Connect, "could not connect" + at);
        case CURLE_OPERATION_TIMEDOUT:
            return makeError(ErrorCode::Timeout, "timed out" + at);
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return makeError(ErrorCode::BadAddress, "bad address" + at);
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return makeError(ErrorCode::Tls, "secure connection failed" + at);
        case CURLE_PARTIAL_FILE:
            return makeError(ErrorCode::Transfer, "reply body cut off before its end" + at);
        case CURLE_GOT_NOTHING:
            return makeError(ErrorCode::Transfer, "connection closed without a reply" + at);
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return makeError(ErrorCode::Transfer, "connection broken" + at);
        default:
            return makeError(ErrorCode::Transfer, "request failed" + at);
    }
}

}  // namespace vellicor::web
