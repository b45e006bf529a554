#include "alert/curl_call.h"

#include <utility>

#include "platform/shown_setting.h"
#include "web/transfer.h"

namespace vellicor::alert {
namespace {

// What a failure was, and whether another attempt could go otherwise: a refused login, a
// certificate that does not verify or an address the library cannot use stay as they are.
std::pair<ErrorCode, Retry> kindOf(CURLcode code) {
    switch (code) {
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return {ErrorCode::BadAddress, Retry::CannotHelp};
        case CURLE_LOGIN_DENIED:
        case CURLE_REMOTE_ACCESS_DENIED:
            return {ErrorCode::Transfer, Retry::CannotHelp};
        case CURLE_USE_SSL_FAILED:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
            return {ErrorCode::Tls, Retry::CannotHelp};
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
            return {ErrorCode::Connect, Retry::MayHelp};
        case CURLE_OPERATION_TIMEDOUT:
            return {ErrorCode::Timeout, Retry::MayHelp};
        default:
            return {ErrorCode::Transfer, Retry::MayHelp};
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
    attempt_ = attempt;
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &CurlCall::onProgress);
    set(CURLOPT_XFERINFODATA, &attempt_);
}

int CurlCall::onProgress(void* bounds, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* attempt = static_cast<const Attempt*>(bounds);
    return attempt->cut() || attempt->timedOut() ? 1 : 0;
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

AttemptResult CurlCall::failure(CURLcode code, const std::string& where,
                                const std::vector<std::string>& secrets) const {
    if (code == CURLE_ABORTED_BY_CALLBACK && attempt_.cut()) {
        return makeError(ErrorCode::Timeout, "程序关闭，发送中止（" + where + "）");
    }
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        return makeError(ErrorCode::Timeout, "超时未完成（" + where + "）");
    }
    const std::string detail = errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(code);
    const auto [kind, retry] = kindOf(code);
    return {makeError(kind, withoutSecrets(detail + "（" + where + "）", secrets)), retry};
}

}  // namespace vellicor::alert
