#include "mall/curl_sender.h"

#include "mall/preopen.h"

namespace vellicor::mall {

CurlSender::CurlSender(SendContext context) : c_(context), pending_(c_.workers.size()) {}

// A timed run without connections of its own opens libcurl's ahead, by warm-up requests.
Result<Sender::Primed> CurlSender::prime(const Priming& priming) {
    if (!priming.timed) {
        return Primed::Ready;
    }
    PreopenRequest request;
    request.base = c_.s.config.mall;
    request.connections = priming.connections;
    request.http = c_.http();
    request.configure = [this](CURL* easy) { c_.host.apply(easy); };
    request.deadline = priming.deadline;
    request.stopped = [this] { return c_.cancelled(); };
    c_.s.log(preopenLine(preopenConnections(c_.s.multi, request, c_.clock())));
    return Primed::Ready;
}

// The request is counted as sent once it is known to have left (see settle()).
bool CurlSender::send(std::size_t index) {
    if (!ensureTransfer(index)) {
        return true;
    }
    ++c_.workers[index].attempts;
    Pending& p = pending_[index];
    p.transfer->reset();
    if (curl_multi_add_handle(c_.s.multi, p.transfer->handle()) != CURLM_OK) {
        c_.sink.report(index, failedRequest(makeError(ErrorCode::Internal, "无法加入发送队列")));
        return true;
    }
    p.added = true;
    ++inFlight_;
    return true;
}

// A libcurl transfer costs tens of kilobytes: one is made only for a worker whose request
// goes that way, when it goes, so that a run of tens of thousands stays small.
bool CurlSender::ensureTransfer(std::size_t index) {
    Pending& p = pending_[index];
    if (p.transfer) {
        return true;
    }
    auto prepared = web::Transfer::prepare(c_.request(index).page, c_.http());
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
    curl_multi_perform(c_.s.multi, &running);
    drainDone();
}

void CurlSender::drainDone() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(c_.s.multi, &left)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* easy = msg->easy_handle;
        const CURLcode code = msg->data.result;
        curl_multi_remove_handle(c_.s.multi, easy);
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
    c_.unsent += t.quietResends();
    auto reply = t.finish(code);
    if (reply) {
        ++c_.sends;
        c_.sink.onEnd(index, std::move(reply));
        return;
    }
    if (!t.requestLeft()) {
        ++c_.unsent;
        c_.sink.onEnd(index, std::move(reply));
        return;
    }
    ++c_.sends;
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

// The last sender: every worker no other sender holds is this one's.
std::optional<bool> CurlSender::mayHaveArrived(std::size_t index) const {
    const Pending& p = pending_[index];
    return p.transfer && c_.workers[index].attempts > 0 && p.transfer->requestLeft();
}

// Requests under way when the run stops count as sent when they left.
void CurlSender::stop() {
    for (Pending& p : pending_) {
        if (p.added) {
            c_.sends += p.transfer->requestLeft() ? 1 : 0;
            curl_multi_remove_handle(c_.s.multi, p.transfer->handle());
            p.added = false;
        }
    }
    inFlight_ = 0;
}

}  // namespace vellicor::mall
