#include "front_end.h"

#include "apache_front.h"
#include "front_process.h"
#include "haproxy_front.h"
#include "nginx_front.h"

namespace vellicor::test {

int FrontEnd::accessLogLines(const std::string& part) const {
    return linesHolding(accessLog(), part);
}

bool FrontEnd::awaitAccessLines(const std::string& part, int count,
                                std::chrono::milliseconds bound) const {
    return waitUntil([&] { return accessLogLines(part) >= count; }, bound);
}

std::string frontName(FrontKind kind) {
    switch (kind) {
        case FrontKind::Nginx:
            return "nginx";
        case FrontKind::Apache:
            return "apache2";
        case FrontKind::Haproxy:
            break;
    }
    return "haproxy";
}

Result<std::unique_ptr<FrontEnd>> startFrontEnd(const FrontOptions& options) {
    switch (options.kind) {
        case FrontKind::Nginx: {
            NginxOptions n;
            n.upstreamHost = options.upstreamHost;
            n.upstreamPort = options.upstreamPort;
            n.ownDate = options.ownDate;
            n.binary = options.binary;
            if (options.maxConcurrentStreams > 0) {
                n.maxConcurrentStreams = options.maxConcurrentStreams;
            }
            if (options.keepaliveRequests > 0) {
                n.keepaliveRequests = options.keepaliveRequests;
            }
            if (options.keepaliveTimeoutSeconds > 0) {
                n.keepaliveTimeoutSeconds = options.keepaliveTimeoutSeconds;
            }
            auto front = NginxFront::start(n);
            if (!front) {
                return front.error();
            }
            return std::unique_ptr<FrontEnd>(std::move(front).value());
        }
        case FrontKind::Apache: {
            auto front = ApacheFront::start(options);
            if (!front) {
                return front.error();
            }
            return std::unique_ptr<FrontEnd>(std::move(front).value());
        }
        case FrontKind::Haproxy:
            break;
    }
    auto front = HaproxyFront::start(options);
    if (!front) {
        return front.error();
    }
    return std::unique_ptr<FrontEnd>(std::move(front).value());
}

}  // namespace vellicor::test
