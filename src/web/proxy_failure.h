#pragma once
// What went wrong on the way through a proxy, told apart from the mall's own failures: a
// request that ended at the proxy never reached the mall, and the user is told which proxy
// (as `user:***@host:port`) and why, in the same words on every path.

#include <curl/curl.h>

#include <optional>
#include <string>

#include "platform/result.h"
#include "web/proxy_setting.h"

namespace vellicor::web {

// "无法连接代理 PROXY：REASON"
Error proxyUnreachable(const ProxySetting& proxy, const std::string& reason);
// "代理 PROXY 拒绝了用户名或密码"
Error proxyRefusedCredentials(const ProxySetting& proxy);
// "代理 PROXY 未能连通商城：REASON"
Error proxyTunnelFailed(const ProxySetting& proxy, const std::string& reason);

// A handle that failed with `code` while going through `proxy`: the error above that fits,
// or empty when the failure came after the way through the proxy was made (the mall's).
// `detail` is libcurl's text for it.
std::optional<Error> proxyFailure(CURL* easy, CURLcode code, const ProxySetting& proxy,
                                  const std::string& detail);

}  // namespace vellicor::web
