#pragma once
// HAProxy as a TLS front end of the simulator: h2 and http/1.1 by ALPN on one bind, the
// mall as its one server. It reads its certificate and key from one PEM file, made in its
// folder; its request log goes to standard output, kept in that folder.

#include <cstdint>
#include <string>

#include "front_end.h"
#include "front_process.h"

namespace vellicor::test {

// The program: the one named, else $VELLICOR_HAPROXY, else `haproxy` on PATH, else the
// usual places.
std::string findHaproxy(const std::string& named);
// Writes its configuration into `folder` for `port`.
FrontRun configureHaproxy(const FrontOptions& options, const std::string& binary,
                          const std::string& folder, std::uint16_t port);

}  // namespace vellicor::test
