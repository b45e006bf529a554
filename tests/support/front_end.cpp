#include "front_end.h"

#include "apache_front.h"
#include "front_process.h"
#include "haproxy_front.h"
#include "nginx_front.h"

namespace vellicor::test {
namespace {

// Apache httpd and HAProxy: run from FrontOptions alone, each as its FrontRun says.
class OptionsFront final : public ProgramFront<OptionsFront, FrontOptions> {
  public:
    using ProgramFront::startFront;

    std::string errorLog() const override {
        std::string text;
        for (const auto& file : run_.errorFiles) {
            text += readText(folder_ + "/" + file);
        }
        return text;
    }
    std::string accessLog() const override {
        return run_.accessFile.empty() ? std::string() : readText(folder_ + "/" + run_.accessFile);
    }

  private:
    friend ProgramFront;
    OptionsFront() = default;
    Launch configure(const std::string& binary) {
        run_ = options_.kind == FrontKind::Apache
                   ? configureApache(options_, binary, folder_, port_)
                   : configureHaproxy(options_, binary, folder_, port_);
        return run_.launch;
    }

    FrontRun run_;
};

}  // namespace

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
        case FrontKind::Apache:
            return OptionsFront::startFront<FrontEnd>(options, findApache(options.binary),
                                                      "apache2");
        case FrontKind::Haproxy:
            break;
    }
    return OptionsFront::startFront<FrontEnd>(options, findHaproxy(options.binary), "haproxy");
}

}  // namespace vellicor::test
