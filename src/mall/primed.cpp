#include "mall/primed.h"

#include "mall/preopen.h"
#include "web/page_request.h"
#include "web/transfer.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace vellicor::mall {
namespace {

using std::chrono::milliseconds;

CURL* connectOnly(const PrimedConnections::Request& request) {
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return nullptr;
    }
    const auto& http = request.http;
    curl_easy_setopt(easy, CURLOPT_URL, (request.base + "/").c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
    // The engine writes HTTP/1.1 bytes on these itself: ALPN must not settle anything else,
    // or libcurl's own HTTP/2 layer would stand between those bytes and the wire.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    if (web::applyTunnelSettings(easy, http, request.proxy) != CURLE_OK) {
        curl_easy_cleanup(easy);
        return nullptr;
    }
    if (request.configure) {
        request.configure(easy);
    }
    return easy;
}

constexpr std::size_t kGroupSize = 32;

}  // namespace

int PrimedConnections::onSocket(CURL*, curl_socket_t fd, int what, void* userp, void*) {
    auto* group = static_cast<Group*>(userp);
    auto& watched = group->owner->watched_;
    if (what == CURL_POLL_REMOVE) {
        watched.erase(fd);
    } else {
        watched[fd] = Watch{group->index, what};
    }
    return 0;
}

int PrimedConnections::onTimer(CURLM*, long timeoutMs, void* userp) {
    auto* group = static_cast<Group*>(userp);
    group->timerSet = timeoutMs >= 0;
    group->timerAt = group->clock->steadyNow() + milliseconds(std::max(0L, timeoutMs));
    return 0;
}

void PrimedConnections::addGroups(const Request& request, const Clock& clock) {
    for (int i = 0; i < wanted_; ++i) {
        if (groups_.empty() || groups_.back()->easies.size() == kGroupSize) {
            auto group = std::make_unique<Group>();
            group->owner = this;
            group->index = groups_.size();
            group->clock = &clock;
            group->multi = curl_multi_init();
            if (group->multi == nullptr) {
                return;
            }
            curl_multi_setopt(group->multi, CURLMOPT_SOCKETFUNCTION, &PrimedConnections::onSocket);
            curl_multi_setopt(group->multi, CURLMOPT_SOCKETDATA, group.get());
            curl_multi_setopt(group->multi, CURLMOPT_TIMERFUNCTION, &PrimedConnections::onTimer);
            curl_multi_setopt(group->multi, CURLMOPT_TIMERDATA, group.get());
            curl_multi_setopt(group->multi, CURLMOPT_MAXCONNECTS, static_cast<long>(kGroupSize));
            groups_.push_back(std::move(group));
        }
        CURL* easy = connectOnly(request);
        if (easy == nullptr) {
            return;
        }
        if (curl_multi_add_handle(groups_.back()->multi, easy) != CURLM_OK) {
            curl_easy_cleanup(easy);
            return;
        }
        groups_.back()->easies.push_back(easy);
    }
}

void PrimedConnections::collectDone(Group& group, std::size_t index, int& pending) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(group.multi, &left)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        --pending;
        curl_socket_t fd = CURL_SOCKET_BAD;
        if (msg->data.result == CURLE_OK &&
            curl_easy_getinfo(msg->easy_handle, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK &&
            fd != CURL_SOCKET_BAD) {
            conns_.push_back(Connection{msg->easy_handle, fd, index});
        }
    }
}

// One poll over every group's sockets; each group's own timer for its time-outs.
void PrimedConnections::drive(const Request& request, const Clock& clock) {
    int pending = 0;
    for (const auto& g : groups_) {
        pending += static_cast<int>(g->easies.size());
    }
    auto stopped = [&] { return request.stopped && request.stopped(); };
    std::vector<pollfd> fds;
    const auto start = clock.steadyNow();
    auto deadline = request.deadline;
    while (pending > 0 && clock.steadyNow() < deadline && !stopped()) {
        auto wake = deadline;
        for (std::size_t i = 0; i < groups_.size(); ++i) {
            Group& g = *groups_[i];
            int running = 0;
            if (g.timerSet && g.timerAt <= clock.steadyNow()) {
                g.timerSet = false;
                curl_multi_socket_action(g.multi, CURL_SOCKET_TIMEOUT, 0, &running);
                collectDone(g, i, pending);
            }
            if (g.timerSet) {
                wake = std::min(wake, g.timerAt);
            }
        }
        fds.clear();
        for (const auto& [fd, watch] : watched_) {
            const short events = static_cast<short>(((watch.what & CURL_POLL_IN) ? POLLIN : 0) |
                                                    ((watch.what & CURL_POLL_OUT) ? POLLOUT : 0));
            fds.push_back(pollfd{fd, events, 0});
        }
        const bool noneYet = conns_.empty();
        ::poll(fds.data(), fds.size(), pollSliceMs(clock, wake));
        for (const pollfd& p : fds) {
            const auto it = watched_.find(p.fd);
            if (p.revents == 0 || it == watched_.end()) {
                continue;
            }
            const std::size_t index = it->second.group;
            const int mask = ((p.revents & POLLIN) ? CURL_CSELECT_IN : 0) |
                             ((p.revents & POLLOUT) ? CURL_CSELECT_OUT : 0) |
                             ((p.revents & (POLLERR | POLLHUP)) ? CURL_CSELECT_ERR : 0);
            int running = 0;
            curl_multi_socket_action(groups_[index]->multi, p.fd, mask, &running);
            collectDone(*groups_[index], index, pending);
        }
        // Handshakes to one host take about the same time: one still under way at twice the
        // first one's time is late, and waiting for it would hold back every request.
        if (request.settle && noneYet && !conns_.empty()) {
            const auto now = clock.steadyNow();
            deadline = std::min(deadline, now + (now - start) + milliseconds(20));
        }
    }
}

std::unique_ptr<PrimedConnections> PrimedConnections::open(const Request& request,
                                                           const Clock& clock) {
    std::unique_ptr<PrimedConnections> opened(new PrimedConnections());
    opened->wanted_ = std::max(0, request.connections);
    const auto address = web::splitAddress(request.base);
    opened->secure_ = address && address->secure;
    opened->addGroups(request, clock);
    opened->drive(request, clock);
    return opened;
}

PrimedConnections::~PrimedConnections() {
    // A connect-only connection stays with its handle in its multi handle; taking the handle
    // out closes it.
    for (const auto& g : groups_) {
        for (CURL* easy : g->easies) {
            curl_multi_remove_handle(g->multi, easy);
            curl_easy_cleanup(easy);
        }
        curl_multi_cleanup(g->multi);
    }
}

// On a plain connection (a tunnel's too, once made) libcurl keeps nothing of its own between the
// socket and the caller, and finding the handle's connection costs it a walk over all of them: the
// socket is written directly. Over TLS the bytes go through libcurl's session.
CURLcode PrimedConnections::send(const Connection& l, const char* data, std::size_t size,
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

CURLcode PrimedConnections::recv(const Connection& l, char* data, std::size_t size,
                                 std::size_t& n) const {
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

int PrimedConnections::socket(int conn) const {
    return conns_.at(static_cast<std::size_t>(conn)).fd;
}

bool PrimedConnections::alive(int conn) const {
    return conns_.at(static_cast<std::size_t>(conn)).fd >= 0;
}

PrimedConnections::Io PrimedConnections::write(int conn, std::string_view bytes,
                                               std::size_t& written) {
    written = 0;
    Connection& l = conns_.at(static_cast<std::size_t>(conn));
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
            close(conn);
            return Io::Closed;
        }
        written += n;
    }
    return Io::Done;
}

PrimedConnections::Io PrimedConnections::read(int conn, std::string& into) {
    Connection& l = conns_.at(static_cast<std::size_t>(conn));
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
            close(conn);
            return Io::Closed;
        }
        into.append(buf, n);
    }
}

bool PrimedConnections::stale(int conn) {
    const Connection& l = conns_.at(static_cast<std::size_t>(conn));
    if (l.fd < 0) {
        return true;
    }
    pollfd p{l.fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) {
        return false;
    }
    if ((p.revents & (POLLHUP | POLLERR)) != 0) {
        return true;
    }
    // Nothing is due on an idle connection: a byte of answer there belongs to no request of
    // ours (a 408 sent before the mall closes it), so it must never be read as the next
    // reply. Over TLS the socket also shows records that carry no data (session tickets):
    // reading through the session tells them apart, and takes no data the connection needs.
    char byte = 0;
    std::size_t n = 0;
    const CURLcode rc = recv(l, &byte, 1, n);
    return rc != CURLE_AGAIN;
}

std::vector<std::size_t> PrimedConnections::readableIdle(std::span<const int> conns) const {
    std::vector<pollfd> fds;
    fds.reserve(conns.size());
    for (const int conn : conns) {
        fds.push_back({socket(conn), POLLIN, 0});
    }
    std::vector<std::size_t> readable;
    if (::poll(fds.data(), fds.size(), 0) <= 0) {
        return readable;
    }
    for (std::size_t k = 0; k < fds.size(); ++k) {
        if (fds[k].revents != 0) {
            readable.push_back(k);
        }
    }
    return readable;
}

void PrimedConnections::close(int conn) {
    Connection& l = conns_.at(static_cast<std::size_t>(conn));
    if (l.fd < 0) {
        return;
    }
    // The handle's connection ends with the handle; taking it out of the multi closes it.
    curl_multi_remove_handle(groups_[l.group]->multi, l.easy);
    l.fd = -1;
}

}  // namespace vellicor::mall
