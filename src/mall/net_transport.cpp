#include "mall/net_transport.h"

#include <curl/curl.h>
#include <poll.h>

#include "mall/connection_sender.h"
#include "mall/curl_sender.h"
#include "mall/route_split.h"
#include "mall/wave_sender.h"

namespace vellicor::mall {
namespace {

// The entries go to libcurl and to poll() as they are.
static_assert(PollEntry::In == CURL_WAIT_POLLIN && PollEntry::Out == CURL_WAIT_POLLOUT);
static_assert(PollEntry::In == POLLIN && PollEntry::Out == POLLOUT);

// Waits on the multi handle, for libcurl's transfers, and on the ways' descriptors together.
class MultiPoller final : public Poller {
  public:
    explicit MultiPoller(CURLM* multi) : multi_(multi) {}

    Status wait(std::span<PollEntry> polled, int timeoutMs) override {
        fds_.resize(polled.size());
        for (std::size_t i = 0; i < polled.size(); ++i) {
            fds_[i] = {polled[i].fd, polled[i].events, 0};
        }
        const CURLMcode code = curl_multi_poll(
            multi_, fds_.data(), static_cast<unsigned>(fds_.size()), timeoutMs, nullptr);
        if (code != CURLM_OK) {
            return makeError(ErrorCode::Internal,
                             std::string("网络等待失败：") + curl_multi_strerror(code));
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            polled[i].revents = fds_[i].revents;
        }
        return Ok{};
    }

    void wake() override { curl_multi_wakeup(multi_); }

  private:
    CURLM* multi_;
    std::vector<curl_waitfd> fds_;
};

class NetTransport final : public RunTransport {
  public:
    explicit NetTransport(const Config& config) : multi_(curl_multi_init()), poller_(multi_) {
        const long cap = std::max(1, config.exchange.maxConnectionsPerHost);
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, cap);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, cap);
    }
    ~NetTransport() override {
        if (multi_ != nullptr) {
            curl_multi_cleanup(multi_);
        }
    }
    NetTransport(const NetTransport&) = delete;
    NetTransport& operator=(const NetTransport&) = delete;

    std::optional<Error> unusable() const override {
        if (multi_ == nullptr) {
            return makeError(ErrorCode::Internal, "无法开始兑换：curl_multi_init 失败");
        }
        return std::nullopt;
    }

    Poller& poller() override { return poller_; }

    std::vector<Way> ways(SendWay first, const WayContext& context) override {
        const bool split = RouteSplit::routes(context.ledger).size() > 1;
        const auto routed = [&](const RouteSplit::Make& make) {
            return split ? Way::of(std::make_unique<RouteSplit>(context, make)) : make(context);
        };
        std::vector<Way> ways;
        if (first == SendWay::Wave) {
            ways.push_back(routed(
                [](const WayContext& c) { return Way::of(std::make_unique<WaveSender>(c)); }));
        }
        if (first != SendWay::Transfers) {
            ways.push_back(routed([](const WayContext& c) {
                return Way::of(std::make_unique<ConnectionSender>(c, &PrimedConnections::open));
            }));
        }
        ways.push_back(Way::of(std::make_unique<CurlSender>(context, multi_)));
        return ways;
    }

  private:
    CURLM* multi_;
    MultiPoller poller_;
};

}  // namespace

std::unique_ptr<RunTransport> netTransport(const Config& config) {
    return std::make_unique<NetTransport>(config);
}

}  // namespace vellicor::mall
