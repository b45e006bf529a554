#pragma once
// Debian's Apache httpd as a TLS front end of the simulator: mod_ssl offering h2 (mod_http2)
// and http/1.1 by ALPN, mod_proxy_http to the mall. Run in the foreground from a folder of
// its own (ServerRoot, PidFile, logs, runtime files), as nobody when the tests run as root.

#include <cstdint>
#include <string>

#include "front_end.h"
#include "front_process.h"

namespace vellicor::test {

// The program: the one named, else $VELLICOR_APACHE, else `apache2` on PATH, else
// /usr/sbin/apache2.
std::string findApache(const std::string& named);
// Writes its configuration into `folder` for `port`.
FrontRun configureApache(const FrontOptions& options, const std::string& binary,
                         const std::string& folder, std::uint16_t port);

}  // namespace vellicor::test
