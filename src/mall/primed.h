#pragma once
// Connections to the mall opened ahead of a run and written on by the engine itself. libcurl
// opens them (CURLOPT_CONNECT_ONLY): resolving, connecting and the TLS handshake with its
// certificate checks are the same as for every other request. At the instant the engine only
// has bytes to write: one write per request, or with last-byte synchronisation one byte.

#include <curl/curl.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/config.h"
#include "platform/result.h"
#include "web/proxy_setting.h"

namespace vellicor::mall {

class PrimedConnections {
  public:
    struct Request {
        std::string base;  // scheme://host[:port] of the mall
        int connections = 0;
        HttpSettings http;
        // Every connection a tunnel through it, or none through any: a connection belongs to
        // one route, and one that cannot be made through the proxy is simply not there.
        web::ProxySetting proxy;
        std::function<void(CURL*)> configure;  // the run's resolved address
        Clock::Steady deadline;                // connections not open by then are dropped
        // Give up on stragglers once the first connection is open (a run of now): see drive().
        bool settle = false;
        std::function<bool()> stopped;
    };

    // Blocks on the caller's thread. Some of the connections may fail: see size().
    static std::unique_ptr<PrimedConnections> open(const Request& request, const Clock& clock);
    ~PrimedConnections();
    PrimedConnections(const PrimedConnections&) = delete;
    PrimedConnections& operator=(const PrimedConnections&) = delete;

    int wanted() const { return wanted_; }
    int size() const { return static_cast<int>(conns_.size()); }
    int socket(int conn) const;
    bool alive(int conn) const;

    enum class Io { Done, Again, Closed };
    // Writes as much as the socket takes now; `written` is how much. Closed: the connection
    // is gone (its peer closed it or reset it) and is closed on this side too.
    Io write(int conn, std::string_view bytes, std::size_t& written);
    // Reads what is there; Again once nothing more is (TLS may hold bytes the socket no
    // longer shows, so a reader reads until Again).
    Io read(int conn, std::string& into);
    // Whether an idle connection can no longer carry a request: its peer closed or reset it,
    // or sent bytes nobody asked for. Looked at just before the instant and before a kept
    // connection is used again, so that its request goes out on a fresh connection instead.
    bool stale(int conn);
    void close(int conn);
    // Of these connections, the positions of those the peer has written on, closed or reset:
    // one poll for all of them, so that a look at a thousand idle connections is one call.
    std::vector<std::size_t> readableIdle(std::span<const int> conns) const;

  private:
    PrimedConnections() = default;
    struct Connection {
        CURL* easy = nullptr;
        int fd = -1;
        std::size_t group = 0;
    };
    // libcurl finds a connect-only handle's connection by walking every connection of its
    // multi handle, on each send: the connections are spread over small groups, each with a
    // multi handle of its own, so that a send at the instant costs the same for the
    // thousandth connection as for the first. The groups are opened together on one poll.
    struct Group {
        PrimedConnections* owner = nullptr;
        std::size_t index = 0;
        CURLM* multi = nullptr;
        std::vector<CURL*> easies;
        bool timerSet = false;
        Clock::Steady timerAt{};
        const Clock* clock = nullptr;
    };
    struct Watch {
        std::size_t group = 0;
        int what = 0;
    };
    static int onSocket(CURL* easy, curl_socket_t fd, int what, void* userp, void* socketp);
    static int onTimer(CURLM* multi, long timeoutMs, void* userp);
    void addGroups(const Request& request, const Clock& clock);
    void drive(const Request& request, const Clock& clock);
    void collectDone(Group& group, std::size_t index, int& pending);
    CURLcode send(const Connection& l, const char* data, std::size_t size, std::size_t& n) const;
    CURLcode recv(const Connection& l, char* data, std::size_t size, std::size_t& n) const;
    std::vector<std::unique_ptr<Group>> groups_;
    std::unordered_map<curl_socket_t, Watch> watched_;  // what libcurl waits for while opening
    std::vector<Connection> conns_;
    int wanted_ = 0;
    bool secure_ = false;
};

}  // namespace vellicor::mall
