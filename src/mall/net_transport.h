#pragma once
// A run's way to the mall over the network: one libcurl multi handle, which libcurl's
// transfers go on and which the run waits on, and the ways the settings allow (the HTTP/2
// wave, HTTP/1.1 connections of the run's own, libcurl's transfers last).

#include <memory>

#include "mall/send_roles.h"

namespace vellicor::mall {

std::unique_ptr<RunTransport> netTransport(const Config& config);

}  // namespace vellicor::mall
