#pragma once
// The front ends malls sit behind, as the tests start them: a TLS listener offering h2 and
// http/1.1 by ALPN on a free loopback port, proxying to the in-process simulator, with a
// configuration of its own in a temporary folder, stopped when the object goes. Each keeps
// an access log the tests count requests in.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

namespace vellicor::test {

// The tests' own certificate authority and server certificate (127.0.0.1 and localhost).
std::string tlsDir();
std::string tlsCaFile();
std::string tlsCertFile();
std::string tlsKeyFile();

enum class FrontKind { Nginx, Apache, Haproxy };

struct FrontOptions {
    FrontKind kind = FrontKind::Nginx;
    std::string upstreamHost = "127.0.0.1";
    std::uint16_t upstreamPort = 0;  // the simulator
    // As real sites set them; 0 leaves the setting to the program (nginx: the tests' own
    // generous defaults, see NginxOptions).
    int maxConcurrentStreams = 0;
    int keepaliveRequests = 0;
    int keepaliveTimeoutSeconds = 0;
    // nginx only: its own Date on a proxied answer (its default), or the mall's passed on.
    bool ownDate = true;
    // The program to run; empty finds it (see findProgram). A path that is not there fails.
    std::string binary;
};

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    virtual std::uint16_t port() const = 0;
    virtual std::string baseUrl() const { return "https://127.0.0.1:" + std::to_string(port()); }
    virtual const std::string& folder() const = 0;
    // What the program wrote about itself so far, for a failure message.
    virtual std::string errorLog() const = 0;
    // One line per request it took, with the request line (method, path and query) in it.
    // HAProxy writes a request's line once its answer is done (or failed).
    virtual std::string accessLog() const = 0;
    int accessLogLines(const std::string& part) const;
    // Until `count` lines hold `part`: a front end may write a request's line after its
    // answer has left. False when they are not there within the bound.
    bool awaitAccessLines(const std::string& part, int count,
                          std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
};

std::string frontName(FrontKind kind);

// Fails at once, naming the program, where it is not installed.
Result<std::unique_ptr<FrontEnd>> startFrontEnd(const FrontOptions& options);

}  // namespace vellicor::test
