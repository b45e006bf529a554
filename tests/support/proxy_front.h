#pragma once
// The proxies users put between them and the mall, as the tests start them: Debian's squid
// (HTTP, CONNECT, Basic authentication) and dante (SOCKS5), each on a free loopback port with
// a configuration of its own, and each sending from a loopback address of its own (squid from
// 127.0.0.2, dante from 127.0.0.3), so that the mall's front end tells by the client address
// what came through which proxy and what came directly.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

namespace vellicor::test {

enum class ProxyKind { Squid, Dante };

// The one account squid asks for when it asks for one.
inline constexpr const char* kProxyUser = "tester";
inline constexpr const char* kProxyPassword = "proxypass";
// Dante checks a SOCKS user's password against the system's accounts, so its one account
// is a system user of the tests' own, with kProxyPassword.
inline constexpr const char* kSocksUser = "vellicor-socks";

struct ProxyOptions {
    ProxyKind kind = ProxyKind::Squid;
    // Squid: Basic authentication for kProxyUser. Dante: SOCKS5 user authentication for
    // kSocksUser (ensureSocksUser() first).
    bool askCredentials = false;
    std::string binary;  // the program; empty finds it
};

class ProxyFront {
  public:
    virtual ~ProxyFront() = default;
    virtual std::uint16_t port() const = 0;
    // The address it sends from, as the mall's front end logs it.
    virtual std::string outgoingAddress() const = 0;
    // As the tool's settings write it: "127.0.0.1:PORT", or "socks5h://127.0.0.1:PORT",
    // with `credentials` ("user:password@") in front of the address.
    virtual std::string setting(const std::string& credentials = {}) const = 0;
    virtual std::string errorLog() const = 0;
};

Result<std::unique_ptr<ProxyFront>> startProxy(const ProxyOptions& options);

// Makes kSocksUser a system user that cannot log in (no home, no shell) whose password is
// kProxyPassword, or sets that password again where it is one already. Unavailable when not
// run as root, which making a system user needs.
Status ensureSocksUser();

// Lines of a front end's access log (client address first) that came from `address`
// ("127.0.0.1": directly) and hold `part`.
int linesFrom(const std::string& accessLog, const std::string& address,
              const std::string& part = {});

}  // namespace vellicor::test
