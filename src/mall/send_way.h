#pragma once
// Which way a run's requests try first, from its settings: HTTP/2 streams of one wave,
// HTTP/1.1 connections of the run's own, or libcurl's transfers, which every other way falls
// back to. Whether the first way then works is only known once the mall answers.

#include <cstddef>

#include "platform/config.h"

namespace vellicor::mall {

enum class SendWay { Transfers, Connections, Wave };

struct WayFacts {
    std::size_t workers = 0;  // workers still to send
    bool written = false;     // every item's request could be written out as bytes
    bool streamable = false;  // every item's request could be written as HTTP/2 fields
};

SendWay firstWay(const Config& config, const WayFacts& facts);

}  // namespace vellicor::mall
