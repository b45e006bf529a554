#include "alert/mail.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "alert/curl_call.h"
#include "alert/text_forms.h"
#include "platform/shown_setting.h"

namespace vellicor::alert {
namespace {

std::string trimmed(const std::string& text) {
    const auto b = text.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return {};
    }
    return text.substr(b, text.find_last_not_of(" \t") - b + 1);
}

// RFC 5322's date, in UTC: the names are the protocol's, whatever the computer's locale.
std::string mailDate(std::chrono::system_clock::time_point now) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm u{};
    gmtime_r(&t, &u);
    char text[48];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[u.tm_wday],
                  u.tm_mday, kMonths[u.tm_mon], u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec);
    return text;
}

std::string base64Lines(std::string_view bytes) {
    const std::string digits = base64(bytes);
    std::string out;
    for (std::size_t at = 0; at < digits.size(); at += 76) {
        out += digits.substr(at, 76) + "\r\n";
    }
    return out;
}

struct Upload {
    const std::string* bytes;
    std::size_t at = 0;
};

std::size_t readUpload(char* into, std::size_t size, std::size_t n, void* data) {
    auto* up = static_cast<Upload*>(data);
    const std::size_t count = std::min(size * n, up->bytes->size() - up->at);
    std::memcpy(into, up->bytes->data() + up->at, count);
    up->at += count;
    return count;
}

}  // namespace

std::vector<std::string> recipients(const std::string& mailTo) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= mailTo.size()) {
        const auto comma = std::min(mailTo.find(',', start), mailTo.size());
        if (std::string box = trimmed(mailTo.substr(start, comma - start)); !box.empty()) {
            out.push_back(std::move(box));
        }
        start = comma + 1;
    }
    return out;
}

std::string mailMessage(const AlertSettings& settings, const Alert& alert,
                        std::chrono::system_clock::time_point now) {
    const auto at = settings.mailFrom.find('@');
    const std::string domain = at == std::string::npos ? std::string("vellicor.invalid")
                                                       : settings.mailFrom.substr(at + 1);
    std::string to;
    for (const std::string& box : recipients(settings.mailTo)) {
        to += (to.empty() ? "" : ", ") + box;
    }
    std::string text = bodyText(alert);
    // The body's lines end as mail's do.
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return "Date: " + mailDate(now) + "\r\n" + "From: " + settings.mailFrom + "\r\n" + "To: " + to +
           "\r\n" + "Subject: " + encodedWords(headline(alert)) + "\r\n" + "Message-ID: <" +
           alert.id + "@" + domain + ">\r\n" + "X-Alert-Id: " + alert.id + "\r\n" +
           "MIME-Version: 1.0\r\n" + "Content-Type: text/plain; charset=UTF-8\r\n" +
           "Content-Transfer-Encoding: base64\r\n" + "\r\n" + base64Lines(crlf);
}

Mail::Mail(AlertSettings settings, HttpSettings http, HostRule thisComputer)
    : settings_(std::move(settings)), http_(std::move(http)), thisComputer_(thisComputer) {}

std::string Mail::where() const {
    return shownAddress(settings_.smtpUrl).value_or("alert.smtp_url 无法解析");
}

std::vector<std::string> Mail::secrets() const {
    std::vector<std::string> out = secretParts(settings_.smtpUrl);
    out.push_back(settings_.smtpPassword);
    return out;
}

AttemptResult Mail::send(const Alert& alert, const Attempt& attempt) {
    CurlCall call;
    if (!call.ready()) {
        return makeError(ErrorCode::Internal, "邮件库无法启动");
    }
    const std::string message = mailMessage(settings_, alert, std::chrono::system_clock::now());
    Upload upload{&message};
    curl_slist* rcpt = nullptr;
    for (const std::string& box : recipients(settings_.mailTo)) {
        rcpt = curl_slist_append(rcpt, ("<" + box + ">").c_str());
    }
    const std::unique_ptr<curl_slist, void (*)(curl_slist*)> rcptOwner(rcpt, curl_slist_free_all);
    call.set(CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    call.set(CURLOPT_URL, settings_.smtpUrl.c_str());
    call.set(CURLOPT_PROXY, "");
    call.set(CURLOPT_SSL_VERIFYPEER, 1L);
    call.set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!http_.caFile.empty()) {
        call.set(CURLOPT_CAINFO, http_.caFile.c_str());
        call.set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    if (!settings_.smtpUser.empty()) {
        call.set(CURLOPT_USERNAME, settings_.smtpUser.c_str());
        call.set(CURLOPT_PASSWORD, settings_.smtpPassword.c_str());
    }
    // The address's user info logs in as smtp_user does: a password is a password wherever
    // it was written.
    const bool login = !settings_.smtpUser.empty() || !userInfo(settings_.smtpUrl).empty();
    const bool mustEncrypt = login && !thisComputer_(settings_.smtpUrl);
    call.set(CURLOPT_USE_SSL,
             mustEncrypt ? static_cast<long>(CURLUSESSL_ALL) : static_cast<long>(CURLUSESSL_TRY));
    call.set(CURLOPT_MAIL_FROM, ("<" + settings_.mailFrom + ">").c_str());
    call.set(CURLOPT_MAIL_RCPT, rcpt);
    call.set(CURLOPT_UPLOAD, 1L);
    call.set(CURLOPT_READFUNCTION, &readUpload);
    call.set(CURLOPT_READDATA, &upload);
    call.set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    call.bound(attempt);
    const CURLcode code = call.perform();
    if (code != CURLE_OK) {
        return call.failure(code, where(), secrets());
    }
    return Ok{};
}

}  // namespace vellicor::alert
