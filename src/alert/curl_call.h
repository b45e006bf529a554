#pragma once
// One libcurl transfer of a channel: the handle, the attempt's bounds on it, and its failure
// as an error fit for a log line.

#include <curl/curl.h>

#include <string>
#include <vector>

#include "alert/channel.h"
#include "platform/result.h"

namespace vellicor::alert {

class CurlCall {
  public:
    CurlCall();
    ~CurlCall();
    CurlCall(const CurlCall&) = delete;
    CurlCall& operator=(const CurlCall&) = delete;

    CURL* handle() const { return easy_; }
    bool ready() const { return easy_ != nullptr; }
    // Sets an option; the first failure is kept and returned by perform().
    template <typename T>
    void set(CURLoption option, T value) {
        if (setCode_ == CURLE_OK) {
            setCode_ = curl_easy_setopt(easy_, option, value);
        }
    }
    void addHeader(const std::string& line);
    // The attempt's time-out over the whole transfer, and its cut at shutdown, both on the
    // attempt's clock. The library looks at them as it goes, at least about once a second.
    void bound(const Attempt& attempt);
    CURLcode perform();
    // The failure in words, with `secrets` taken out, and whether another attempt may help;
    // `where` is the channel's public address.
    AttemptResult failure(CURLcode code, const std::string& where,
                          const std::vector<std::string>& secrets) const;

  private:
    static int onProgress(void* bounds, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    CURLcode setCode_ = CURLE_OK;
    Attempt attempt_;
    char errorText_[CURL_ERROR_SIZE] = {};
};

}  // namespace vellicor::alert
