#include "alert/curl_call.h"

#include <algorithm>

#include "alert/text_forms.h"
#include "web/transfer.h"

namespace vellicor::alert {
namespace {

long long steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Whether another attempt could go otherwise: a refused login, a certificate that does not
// verify or an address the library cannot use stay as they are.
bool lasting(CURLcode code) {
    switch (code) {
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_LOGIN_DENIED:
        case CURLE_USE_SSL_FAILED:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_REMOTE_ACCESS_DENIED:
            return true;
        default:
            return false;
    }
}

}  // namespace

CurlCall::CurlCall() {
    web::ensureCurlReady();
    easy_ = curl_easy_init();
    if (easy_ != nullptr) {
        set(CURLOPT_ERRORBUFFER, errorText_);
        set(CURLOPT_NOSIGNAL, 1L);
    }
}

CurlCall::~CurlCall() {
    if (easy_ != nullptr) {
        curl_easy_cleanup(easy_);
    }
    curl_slist_free_all(headers_);
}

void CurlCall::addHeader(const std::string& line) {
    if (curl_slist* grown = curl_slist_append(headers_, line.c_str()); grown != nullptr) {
        headers_ = grown;
    }
}

void CurlCall::bound(const Attempt& attempt) {
    const long ms = static_cast<long>(std::max<long long>(1, attempt.timeout.count()));
    set(CURLOPT_TIMEOUT_MS, ms);
    set(CURLOPT_CONNECTTIMEOUT_MS, ms);
    if (attempt.cutAt != nullptr) {
        set(CURLOPT_NOPROGRESS, 0L);
        set(CURLOPT_XFERINFOFUNCTION, &CurlCall::onProgress);
        set(CURLOPT_XFERINFODATA, const_cast<std::atomic<long long>*>(attempt.cutAt));
    }
}

int CurlCall::onProgress(void* cutAt, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const long long at = static_cast<std::atomic<long long>*>(cutAt)->load();
    return at != 0 && steadyNowNs() >= at ? 1 : 0;
}

CURLcode CurlCall::perform() {
    if (setCode_ != CURLE_OK) {
        return setCode_;
    }
    if (headers_ != nullptr) {
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    }
    return curl_easy_perform(easy_);
}

Error CurlCall::failure(CURLcode code, const std::string& where,
                        const std::vector<std::string>& secrets) const {
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        return makeError(ErrorCode::Timeout, "程序关闭，发送中止（" + where + "）");
    }
    const std::string detail = errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(code);
    ErrorCode kind = ErrorCode::Transfer;
    if (lasting(code)) {
        kind = kLasting;
    } else if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST) {
        kind = ErrorCode::Connect;
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
        kind = ErrorCode::Timeout;
    }
    return makeError(kind, withoutSecrets(detail + "（" + where + "）", secrets));
}

}  // namespace vellicor::alert
