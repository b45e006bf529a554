#pragma once
// The portal simulator: a real HTTP/1.1 server on loopback that plays the portal, its mall
// and its login service, for the tests, the benchmarks and the tool's demo mode.
//
// Login: the login pages hold a form (id "loginform") that POSTs to /cgi-bin/login_submit
// with the fields "u" (account, input id "u"), "p" (password, input id "p") and "s_url" (the
// return address); its submit button has the id "login_button". An accepted login sets the
// cookies uin=o<account>, skey=<session key> and ptui_loginuin=<account> (Path=/) and answers
// 302 to the return address, which must be on the simulator itself (a relative path, or
// http(s)://127.0.0.1:<port> or localhost:<port>); any other is refused with 400.
//
// Control endpoints (never logged, never delayed or faulted): POST /__sim/scenario (JSON
// body, see docs/portal.md), GET /__sim/log, POST /__sim/log/clear, GET /__sim/state.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"

namespace vellicor::portal {

// The accounts the default scenario accepts, each with balances of its own, all with the one
// password; the demo mode logs in with the first unless told another.
inline constexpr const char* kDemoAccount = "10001";
inline constexpr const char* kDemoAccounts[] = {"10001", "10002", "10003"};
inline constexpr const char* kDemoPassword = "demo-password";

struct LoggedRequest {
    std::string method;
    std::string target;                                        // path and query as received
    std::vector<std::pair<std::string, std::string>> headers;  // in order received
    std::string cookies;                                       // the Cookie header, or empty
    // Real system time (not the scenario's offset clock), since the epoch. On plain HTTP it
    // is the kernel's receive time of the request's first bytes.
    std::int64_t arrivalMicros = 0;
    std::int64_t arrivalNanos = 0;
    std::int64_t completedNanos = 0;  // receive time of the bytes that completed it
    std::int64_t connectedNanos = 0;  // when its connection was accepted
    std::uint64_t connection = 0;     // the same number for requests on one connection
    bool secure = false;              // came in over the TLS listener
    std::string body;                 // first 64 KiB
    std::string header(const std::string& name) const;  // first header of that name
};

struct ServerOptions {
    std::string scenarioJson;  // empty: the default scenario
    std::uint16_t port = 0;    // 0 picks a free one
    // The address listened on. Only a test that made a network of its own gives another.
    std::string host = "127.0.0.1";
    int threads = 2;
    // A TLS listener as well, when both files are given (PEM).
    std::string tlsCertFile;
    std::string tlsKeyFile;
    std::uint16_t tlsPort = 0;
    // The portal's clock before its offset; null for the system clock. Kernel arrival times
    // in the log stay real.
    const Clock* clock = nullptr;
    std::size_t logCapacity = 200000;  // the oldest entries go first
};

class Server {
  public:
    // Binds 127.0.0.1:port (or the options' host; port 0 picks a free one) and serves on its own
    // threads until stopped. An empty scenario means the default one (demo accounts, balances,
    // stock, items open).
    static Result<std::unique_ptr<Server>> start(const std::string& scenarioJson = {},
                                                 std::uint16_t port = 0, int threads = 2);
    static Result<std::unique_ptr<Server>> start(const ServerOptions& options);
    ~Server();

    std::uint16_t port() const;
    std::string baseUrl() const;     // "http://127.0.0.1:<port>" (the host listened on)
    std::uint16_t tlsPort() const;   // 0 without a TLS listener
    std::string tlsBaseUrl() const;  // "https://127.0.0.1:<port>", empty without one

    Status setScenario(const std::string& scenarioJson);
    std::vector<LoggedRequest> log() const;
    void clearLog();
    void stop();

    // A logged-in session for an account of the scenario without the login pages: the
    // cookie string "uin=o<uin>; skey=<key>". An error for an unknown account.
    Result<std::string> sessionCookie(const std::string& uin = kDemoAccount);
    std::int64_t stock(std::int64_t propsid) const;
    std::map<int, std::int64_t> balances(const std::string& uin = kDemoAccount) const;

    struct Impl;

  private:
    explicit Server(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vellicor::portal
