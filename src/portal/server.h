#pragma once
// The portal simulator: a real HTTP/1.1 server on loopback that plays the portal, its mall
// and its login service, for the tests, the benchmarks and the tool's demo mode.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace vellicor::portal {

// The account the default scenario accepts; the demo mode logs in with it.
inline constexpr const char* kDemoAccount = "10001";
inline constexpr const char* kDemoPassword = "demo-password";

struct LoggedRequest {
    std::string method;
    std::string target;  // path and query as received
    std::vector<std::pair<std::string, std::string>> headers;  // in order received
    std::string cookies;                                       // the Cookie header, or empty
    std::int64_t arrivalMicros = 0;                            // system clock, since the epoch
    std::string header(const std::string& name) const;         // first header of that name
};

class Server {
public:
    // Binds 127.0.0.1:port (0 picks a free one) and serves on its own threads until stopped.
    // An empty scenario means the default one (demo account, balances, stock, items open).
    static Result<std::unique_ptr<Server>> start(const std::string& scenarioJson = {},
                                                 std::uint16_t port = 0, int threads = 2);
    ~Server();

    std::uint16_t port() const;
    std::string baseUrl() const;  // "http://127.0.0.1:<port>"

    Status setScenario(const std::string& scenarioJson);
    std::vector<LoggedRequest> log() const;
    void clearLog();
    void stop();

    struct Impl;

private:
    explicit Server(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vellicor::portal
