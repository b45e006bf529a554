#pragma once
// Which way a run's requests try first, from its settings: HTTP/2 streams of one wave,
// HTTP/1.1 connections of the run's own, or libcurl's transfers, which every other way falls
// back to. Whether the first way then works is only known once the mall answers.

#include <cstddef>
#include <string>

#include <vector>

#include "mall/run_input.h"
#include "platform/config.h"

namespace vellicor::mall {

enum class SendWay { Transfers, Connections, Wave };

struct WayFacts {
    std::size_t workers = 0;  // workers still to send
    bool written = false;     // every item's request could be written out as bytes
    bool streamable = false;  // every item's request could be written as HTTP/2 fields
};

SendWay firstWay(const Config& config, const WayFacts& facts);

// The log line that says which proxy each account goes through ("请求经代理
// user:***@host:port 发往商城", or per account with several), an account without one of its
// own by `configured`.
// The settings the mall's clock is read with before a run of these accounts: through the
// proxy the first of them goes by (or the configured one), never around it. Where accounts
// go by different proxies the clock is read over the first one's way.
Config probeConfig(const Config& config, const std::vector<web::Account>& accounts);

std::string proxyLine(const std::vector<web::Account>& accounts, const std::string& configured);

}  // namespace vellicor::mall
