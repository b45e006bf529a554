#include "mall/primed.h"

#include "web/page_request.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace vellicor::mall {
namespace {

using std::chrono::milliseconds;

CURL* connectOnly(const PrimedLines::Request& request) {
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return nullptr;
    }
    const auto& http = request.http;
    curl_easy_setopt(easy, CURLOPT_URL, (request.base + "/").c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, http.connectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!http.caFile.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, http.caFile.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    if (request.configure) {
        request.configure(easy);
    }
    return easy;
}

int pollMs(const Clock& clock, Clock::Steady deadline) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - clock.steadyNow()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 50));
}

}  // namespace

std::unique_ptr<PrimedLines> PrimedLines::open(const Request& request, const Clock& clock) {
    std::unique_ptr<PrimedLines> lines(new PrimedLines());
    lines->wanted_ = std::max(0, request.connections);
    const auto address = web::splitAddress(request.base);
    lines->secure_ = address && address->secure;
    lines->multi_ = curl_multi_init();
    if (lines->multi_ == nullptr) {
        return lines;
    }
    // A connect-only connection stays with its handle, which stays in the multi handle:
    // removing it would close the connection.
    curl_multi_setopt(lines->multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(lines->wanted_));
    for (int i = 0; i < lines->wanted_; ++i) {
        CURL* easy = connectOnly(request);
        if (easy == nullptr) {
            continue;
        }
        lines->all_.push_back(easy);
        curl_multi_add_handle(lines->multi_, easy);
    }
    int running = static_cast<int>(lines->all_.size());
    auto stopped = [&] { return request.stopped && request.stopped(); };
    while (running > 0 && clock.steadyNow() < request.deadline && !stopped()) {
        curl_multi_perform(lines->multi_, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(lines->multi_, &left)) {
            curl_socket_t fd = CURL_SOCKET_BAD;
            if (msg->msg == CURLMSG_DONE && msg->data.result == CURLE_OK &&
                curl_easy_getinfo(msg->easy_handle, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK &&
                fd != CURL_SOCKET_BAD) {
                lines->lines_.push_back(Line{msg->easy_handle, fd});
            }
        }
        if (running > 0) {
            curl_multi_poll(lines->multi_, nullptr, 0, pollMs(clock, request.deadline), nullptr);
        }
    }
    return lines;
}

PrimedLines::~PrimedLines() {
    for (CURL* easy : all_) {
        curl_multi_remove_handle(multi_, easy);
        curl_easy_cleanup(easy);
    }
    if (multi_ != nullptr) {
        curl_multi_cleanup(multi_);
    }
}

// On a plain connection libcurl keeps nothing of its own between the socket and the caller,
// and finding the handle's connection costs it a walk over all of them: the socket is
// written directly. Over TLS the bytes go through libcurl's session.
CURLcode PrimedLines::send(const Line& l, const char* data, std::size_t size,
                           std::size_t& n) const {
    if (secure_) {
        return curl_easy_send(l.easy, data, size, &n);
    }
    const ssize_t sent = ::send(l.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? CURLE_AGAIN
                                                                         : CURLE_SEND_ERROR;
    }
    n = static_cast<std::size_t>(sent);
    return CURLE_OK;
}

CURLcode PrimedLines::recv(const Line& l, char* data, std::size_t size, std::size_t& n) const {
    if (secure_) {
        return curl_easy_recv(l.easy, data, size, &n);
    }
    const ssize_t got = ::recv(l.fd, data, size, MSG_DONTWAIT);
    if (got < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? CURLE_AGAIN
                                                                         : CURLE_RECV_ERROR;
    }
    n = static_cast<std::size_t>(got);
    return CURLE_OK;
}

int PrimedLines::socket(int line) const {
    return lines_.at(static_cast<std::size_t>(line)).fd;
}

bool PrimedLines::alive(int line) const {
    return lines_.at(static_cast<std::size_t>(line)).fd >= 0;
}

PrimedLines::Io PrimedLines::write(int line, std::string_view bytes, std::size_t& written) {
    written = 0;
    Line& l = lines_.at(static_cast<std::size_t>(line));
    if (l.fd < 0) {
        return Io::Closed;
    }
    while (written < bytes.size()) {
        std::size_t n = 0;
        const CURLcode rc = send(l, bytes.data() + written, bytes.size() - written, n);
        if (rc == CURLE_AGAIN) {
            return Io::Again;
        }
        if (rc != CURLE_OK) {
            close(line);
            return Io::Closed;
        }
        written += n;
    }
    return Io::Done;
}

PrimedLines::Io PrimedLines::read(int line, std::string& into) {
    Line& l = lines_.at(static_cast<std::size_t>(line));
    if (l.fd < 0) {
        return Io::Closed;
    }
    char buf[16384];
    for (;;) {
        std::size_t n = 0;
        const CURLcode rc = recv(l, buf, sizeof buf, n);
        if (rc == CURLE_AGAIN) {
            return Io::Again;
        }
        if (rc != CURLE_OK || n == 0) {
            close(line);
            return Io::Closed;
        }
        into.append(buf, n);
    }
}

bool PrimedLines::peerGone(int line) const {
    const Line& l = lines_.at(static_cast<std::size_t>(line));
    if (l.fd < 0) {
        return true;
    }
    pollfd p{l.fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) {
        return false;
    }
    // Nothing is due on an idle connection: anything readable is its end (or TLS noise
    // before it), so only a peek that finds bytes leaves it in use.
    char byte = 0;
    const ssize_t n = ::recv(l.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
           (p.revents & (POLLHUP | POLLERR)) != 0;
}

void PrimedLines::close(int line) {
    Line& l = lines_.at(static_cast<std::size_t>(line));
    if (l.fd < 0) {
        return;
    }
    // The handle's connection ends with the handle; taking it out of the multi closes it.
    curl_multi_remove_handle(multi_, l.easy);
    l.fd = -1;
}

}  // namespace vellicor::mall
