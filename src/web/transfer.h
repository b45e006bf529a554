#pragma once
// One prepared transfer: a libcurl easy handle set up with every convention of the page
// request, collecting its reply. pageRequest() performs one on its own; the exchange engine
// drives many at once through a multi handle. Keeping both on this class keeps one send path.

#include <curl/curl.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/config.h"
#include "platform/result.h"
#include "web/page_request.h"
#include "web/proxy_setting.h"

namespace vellicor::web {

// curl_global_init once per process, thread-safe; never installs signal handlers.
void ensureCurlReady();

// How every connection of the tool is made: HTTP(S) only, no signals, no Nagle delay, the
// connect time-out, certificate and host checks always on (a configured CA file in place of the
// system's store), and the proxy given here or none, whatever the environment says.
CURLcode applyConnectionSettings(CURL* easy, const HttpSettings& settings,
                                 const std::string& proxy);

// A connection that is the mall's end to end through `proxy`: an HTTP proxy is asked for a
// CONNECT tunnel even for a plain mall, so that what the caller writes on the socket reaches
// the mall as written (a forwarding proxy would want requests written for itself). SOCKS
// connections are tunnels anyway. Used for connect-only handles; an empty proxy is none.
CURLcode applyTunnelSettings(CURL* easy, const HttpSettings& settings, const ProxySetting& proxy);

// CURLOPT_HTTP_VERSION for a request to `url` under the configured choice.
long curlHttpVersion(HttpVersion version, std::string_view url);

class Transfer {
  public:
    // Splits the address, completes the header text and sets up the handle. Nothing is sent.
    static Result<std::unique_ptr<Transfer>> prepare(const PageRequest& request,
                                                     const HttpSettings& settings);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    CURL* handle() const { return easy_; }
    // Turns the transfer's end (curl's code for it) into the reply or a clear error.
    Result<Reply> finish(CURLcode code);
    // Clears what was received, so that the same handle can be sent again (a retry).
    void reset();

    // For a request the mall may act on: libcurl writes it again on a fresh connection when
    // a reused one dies before a byte of answer, though the mall may have taken it. After
    // this, it does so only when none of the request had left; otherwise the transfer ends
    // with "connection lost without a reply". Over HTTP/2 libcurl re-sends a stream the mall
    // refused just as one lost on a dead connection, and tells them apart in no way a caller
    // sees, so a refused stream would end unknown too: unless HTTP/2 was asked for, the
    // request goes by HTTP/1.1, where a re-send always follows a connection that died.
    Status sendOnce(HttpVersion asked);
    // Whether bytes of the request left since the transfer was last added. A request is a
    // few hundred bytes, written in one piece on a fresh or idle connection, so any byte
    // that left is taken as the whole request: the mall may have it.
    bool requestLeft() const;
    // Whether any byte of an answer came.
    bool gotReplyBytes() const;
    // libcurl's own re-sends of the request that sendOnce() let go: none of it had left.
    int quietResends() const;

  private:
    Transfer() = default;
    Status configure(const HttpSettings& settings, const ProxySetting& proxy, bool defaultAgent);
    Error failure(CURLcode code) const;
    static int onPrereq(void* self, char* remoteIp, char* localIp, int remotePort, int localPort);
    struct Sink;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::unique_ptr<Sink> sink_;
};

}  // namespace vellicor::web
