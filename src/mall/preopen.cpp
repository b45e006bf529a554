#include "mall/preopen.h"

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "web/text_util.h"
#include "web/transfer.h"

namespace vellicor::mall {
namespace {

using std::chrono::milliseconds;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// A request every HTTP/1.1 server answers without work of its own and without side effects.
std::unique_ptr<web::Transfer> warmUp(const PreopenRequest& request, int n) {
    web::PageRequest page;
    page.url = request.base + "/";
    if (static_cast<std::size_t>(n) < request.proxies.size()) {
        page.proxy = request.proxies[static_cast<std::size_t>(n)];
    }
    auto prepared = web::Transfer::prepare(page, request.http);
    if (!prepared) {
        return nullptr;
    }
    auto transfer = std::move(prepared).value();
    CURL* easy = transfer->handle();
    if (page.proxy.empty() && request.http.proxy.empty()) {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "OPTIONS");
        curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, "*");
    } else {
        // A forwarding proxy has no form for "OPTIONS *", and front ends answer it through a
        // tunnel with a 400 and a close: a static file's head leaves the connection open.
        curl_easy_setopt(easy, CURLOPT_URL, (request.base + "/favicon.ico").c_str());
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    }
    if (request.configure) {
        request.configure(easy);
    }
    return transfer;
}

// A warm-up leaves a connection in the pool only when it was answered without a server error and
// the mall did not say it would close the connection.
bool leftOpen(const std::vector<std::unique_ptr<web::Transfer>>& warmUps, CURL* easy,
              CURLcode code) {
    const auto it = std::find_if(warmUps.begin(), warmUps.end(),
                                 [easy](const auto& t) { return t->handle() == easy; });
    if (it == warmUps.end()) {
        return false;
    }
    auto reply = (*it)->finish(code);
    if (!reply || reply->status >= 500) {
        return false;
    }
    for (auto line : web::detail::splitOn(reply->headerText, "\r\n")) {
        if (web::detail::startsWithNoCase(line, "HTTP/1.0 ") ||
            (web::detail::startsWithNoCase(line, "Connection:") &&
             web::detail::equalsNoCase(web::detail::trimBlanks(line.substr(11)), "close"))) {
            return false;
        }
    }
    return true;
}

}  // namespace

int pollSliceMs(const Clock& clock, Clock::Steady until) {
    const auto left = std::chrono::ceil<milliseconds>(until - clock.steadyNow()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 50));
}

PreopenReport preopenConnections(CURLM* multi, const PreopenRequest& request, const Clock& clock) {
    PreopenReport report;
    report.wanted = std::max(0, request.connections);
    std::vector<std::unique_ptr<web::Transfer>> warmUps;
    for (int i = 0; i < report.wanted; ++i) {
        auto transfer = warmUp(request, i);
        if (!transfer || curl_multi_add_handle(multi, transfer->handle()) != CURLM_OK) {
            ++report.failed;
            continue;
        }
        warmUps.push_back(std::move(transfer));
    }
    int running = static_cast<int>(warmUps.size());
    while (running > 0 && clock.steadyNow() < request.deadline &&
           !(request.stopped && request.stopped())) {
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                report.opened += leftOpen(warmUps, msg->easy_handle, msg->data.result) ? 1 : 0;
            }
        }
        if (running > 0 && curl_multi_poll(multi, nullptr, 0, pollSliceMs(clock, request.deadline),
                                           nullptr) != CURLM_OK) {
            break;
        }
    }
    // Removing a finished handle hands its connection to the pool; one still under way is
    // closed and counts as failed.
    report.failed = report.wanted - report.opened;
    for (auto& transfer : warmUps) {
        curl_multi_remove_handle(multi, transfer->handle());
    }
    return report;
}

bool waitPrecisely(const Clock& clock, Clock::Steady at, const std::function<bool()>& stopped,
                   std::chrono::nanoseconds spin) {
    constexpr auto kSlice = milliseconds(100);
    auto isStopped = [&] { return stopped && stopped(); };
    while (!isStopped()) {
        const auto now = clock.steadyNow();
        if (now >= at - spin) {
            break;
        }
        clock.sleepUntil(std::min(at - spin, now + kSlice));
    }
    // A yield here may hand the processor to another thread for a whole time slice, and the
    // instant would pass meanwhile: the last stretch is spun on the processor.
    while (!isStopped() && clock.steadyNow() < at) {
        cpuRelax();
    }
    return !isStopped();
}

std::string preopenLine(const PreopenReport& report) {
    std::string line = "已预先建立 " + std::to_string(report.opened) + " 个连接";
    if (report.failed > 0) {
        line += "（" + std::to_string(report.failed) + " 个未能建立，届时改用新连接）";
    }
    return line + "\r\n";
}

}  // namespace vellicor::mall
