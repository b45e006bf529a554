#include "mall/engine.h"

#include "mall/preopen.h"

namespace vellicor::mall {

// A libcurl transfer costs tens of kilobytes: one is made only for a worker whose request
// goes that way, when it goes, so that a run of tens of thousands stays small.
bool Engine::ensureTransfer(std::size_t index) {
    Worker& w = workers_[index];
    if (w.transfer) {
        return true;
    }
    auto prepared = web::Transfer::prepare(pageRequests_[w.item], http());
    if (!prepared) {
        report(index, failedRequest(prepared.error()));
        return false;
    }
    w.transfer = std::move(prepared).value();
    host_.apply(w.transfer->handle());
    byHandle_[w.transfer->handle()] = index;
    return true;
}

// A timed run without connections of its own opens libcurl's ahead, by warm-up requests.
void Engine::preopen() {
    const long leadMs = s_.config.timer.preopenLeadMs;
    if (!s_.options.fireAt || leadMs <= 0 || unended_ == 0) {
        return;
    }
    const auto stopped = [this] { return cancelled(); };
    if (!waitBefore(milliseconds(leadMs))) {
        return;
    }
    PreopenRequest request;
    request.base = s_.config.mall;
    request.connections = connectionCap();
    request.http = http();
    request.configure = [this](CURL* easy) { host_.apply(easy); };
    request.deadline = fireAt() - kLateConnect;
    request.stopped = stopped;
    s_.log(preopenLine(preopenConnections(s_.multi, request, clock())));
}

void Engine::drainDone() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(s_.multi, &left)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* easy = msg->easy_handle;
        const CURLcode code = msg->data.result;
        curl_multi_remove_handle(s_.multi, easy);
        --inFlight_;
        const auto it = byHandle_.find(easy);
        if (it != byHandle_.end()) {
            onEnd(it->second, workers_[it->second].transfer->finish(code));
        }
    }
}

bool Engine::requestSent(CURL* easy) {
    long sent = 0;
    return curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &sent) == CURLE_OK && sent > 0;
}

}  // namespace vellicor::mall
