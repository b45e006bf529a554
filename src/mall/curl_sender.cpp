#include "mall/curl_sender.h"

#include "mall/preopen.h"

#include <algorithm>
#include <map>

namespace vellicor::mall {

CurlSender::CurlSender(const WayContext& context, CURLM* multi)
    : c_(context), multi_(multi), pending_(c_.ledger.size()) {}

// A timed run without connections of its own opens libcurl's ahead, by warm-up requests.
Result<WayLife::Primed> CurlSender::prime(const Priming& priming) {
    if (!priming.timed) {
        return Primed::Ready;
    }
    PreopenRequest request;
    request.base = c_.config.mall;
    request.connections = priming.connections;
    request.http = c_.http();
    request.proxies = connectionProxies(priming.connections);
    if (!request.proxies.empty()) {
        request.connections = static_cast<int>(request.proxies.size());
    }
    request.configure = [this](CURL* easy) { c_.host.apply(easy); };
    request.deadline = priming.deadline;
    request.stopped = [this] { return c_.ledger.cancelled(); };
    c_.log(preopenLine(preopenConnections(multi_, request, c_.clock)));
    return Primed::Ready;
}

// Each proxy its share of the connections, by its workers, at least one: a connection through
// one proxy is of no use to a request through another. Empty when all go the one way.
std::vector<std::string> CurlSender::connectionProxies(int connections) const {
    std::map<std::string, std::size_t> workers;
    for (std::size_t i = 0; i < c_.ledger.size(); ++i) {
        if (!c_.ledger.ended(i)) {
            ++workers[c_.ledger.request(i).page.proxy];
        }
    }
    std::vector<std::string> proxies;
    if (workers.size() < 2) {
        return proxies;
    }
    std::size_t total = 0;
    for (const auto& [proxy, count] : workers) {
        total += count;
    }
    for (const auto& [proxy, count] : workers) {
        const auto share = std::max<std::size_t>(
            1, count * static_cast<std::size_t>(std::max(0, connections)) / total);
        proxies.insert(proxies.end(), share, proxy);
    }
    return proxies;
}

// The request is counted as sent once it is known to have left (see settle()).
bool CurlSender::send(std::size_t index) {
    if (!ensureTransfer(index)) {
        return true;
    }
    c_.ledger.began(index);
    Pending& p = pending_[index];
    p.transfer->reset();
    if (curl_multi_add_handle(multi_, p.transfer->handle()) != CURLM_OK) {
        c_.sink.report(index, failedRequest(makeError(ErrorCode::Internal, "无法加入发送队列")));
        return true;
    }
    p.added = true;
    ++inFlight_;
    if (std::exchange(firing_, false)) {
        int running = 0;  // the first request on its way before the rest are set up
        curl_multi_perform(multi_, &running);
    }
    return true;
}

// A libcurl transfer costs tens of kilobytes: one is made only for a worker whose request
// goes that way, when it goes, so that a run of tens of thousands stays small.
bool CurlSender::ensureTransfer(std::size_t index) {
    Pending& p = pending_[index];
    if (p.transfer) {
        return true;
    }
    auto prepared = web::Transfer::prepare(c_.ledger.request(index).page, c_.http());
    if (!prepared) {
        c_.sink.report(index, failedRequest(prepared.error()));
        return false;
    }
    p.transfer = std::move(prepared).value();
    if (auto once = p.transfer->sendOnce(c_.http().version); !once) {
        p.transfer.reset();
        c_.sink.report(index, failedRequest(once.error()));
        return false;
    }
    c_.host.apply(p.transfer->handle());
    byHandle_[p.transfer->handle()] = index;
    return true;
}

void CurlSender::drive() {
    int running = 0;
    curl_multi_perform(multi_, &running);
    drainDone();
}

void CurlSender::drainDone() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* easy = msg->easy_handle;
        const CURLcode code = msg->data.result;
        curl_multi_remove_handle(multi_, easy);
        --inFlight_;
        const auto it = byHandle_.find(easy);
        if (it != byHandle_.end()) {
            settle(it->second, code);
        }
    }
}

// A request that got no answer after it left may have been acted on: it ends as unknown and
// never goes again. One that never left is the mall's to ask for again, as any failure. A
// time-out after it left is unknown whatever came back; a broken answer is a failure.
void CurlSender::settle(std::size_t index, CURLcode code) {
    Pending& p = pending_[index];
    p.added = false;
    web::Transfer& t = *p.transfer;
    c_.ledger.unsent(t.quietResends());
    auto reply = t.finish(code);
    if (reply) {
        c_.ledger.sent();
        c_.sink.onEnd(index, std::move(reply));
        return;
    }
    // What ended at the proxy never reached the mall, whatever libcurl wrote to the proxy.
    if (!t.requestLeft() || reply.error().code == ErrorCode::Proxy) {
        c_.ledger.unsent();
        c_.sink.onEnd(index, std::move(reply));
        return;
    }
    c_.ledger.sent();
    if (reply.error().code == ErrorCode::Timeout || !t.gotReplyBytes()) {
        c_.sink.report(index, lostAfterSend(reply.error()));
        return;
    }
    c_.sink.onEnd(index, std::move(reply));
}

void CurlSender::pause(std::size_t index) {
    if (pending_[index].transfer) {
        pending_[index].transfer->reset();
    }
}

void CurlSender::release(std::size_t index) {
    Pending& p = pending_[index];
    if (p.transfer) {
        byHandle_.erase(p.transfer->handle());
        p.transfer.reset();
    }
    p.added = false;
}

// The last way: every worker no other way holds is this one's.
std::optional<bool> CurlSender::mayHaveArrived(std::size_t index) const {
    const Pending& p = pending_[index];
    return p.transfer && c_.ledger.attempts(index) > 0 && p.transfer->requestLeft();
}

// Requests under way when the run stops count as sent when they left.
void CurlSender::stop() {
    for (Pending& p : pending_) {
        if (p.added) {
            c_.ledger.sent(p.transfer->requestLeft() ? 1 : 0);
            curl_multi_remove_handle(multi_, p.transfer->handle());
            p.added = false;
        }
    }
    inFlight_ = 0;
}

}  // namespace vellicor::mall
