#include "alert/web_hook.h"

#include <algorithm>
#include <cctype>

#include "alert/curl_call.h"
#include "alert/text_forms.h"
#include "platform/shown_setting.h"
#include "web/transfer.h"

namespace vellicor::alert {
namespace {

constexpr std::string_view kDefaultJson =
    R"({"title":"{title}","item":"{item}","account":"{account}","outcome":"{outcome}","time":"{time}"})";
constexpr std::string_view kDefaultPairs =
    "title={title}&item={item}&account={account}&outcome={outcome}&time={time}";

std::string asIs(std::string_view text) {
    return std::string(text);
}

std::string trimmed(std::string_view text) {
    const auto b = text.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(b, text.find_last_not_of(" \t") - b + 1));
}

bool nameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == '[' || c == ']';
}

std::vector<std::string_view> splitPairs(std::string_view text) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto amp = text.find('&', start);
        parts.push_back(text.substr(start, amp - start));
        if (amp == std::string_view::npos) {
            return parts;
        }
        start = amp + 1;
    }
}

bool pairsTemplate(std::string_view text) {
    const auto parts = splitPairs(text);
    return std::all_of(parts.begin(), parts.end(), [](std::string_view part) {
        const auto eq = part.find('=');
        return eq != std::string_view::npos && eq > 0 &&
               std::all_of(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(eq), nameChar);
    });
}

std::string filledPairs(std::string_view text, const Alert& alert) {
    std::string out;
    for (std::string_view part : splitPairs(text)) {
        const auto eq = part.find('=');
        out += (out.empty() ? "" : "&") + std::string(part.substr(0, eq)) + "=" +
               percentEncode(fillTemplate(part.substr(eq + 1), alert, asIs));
    }
    return out;
}

std::string withQuery(const std::string& url, const std::string& query) {
    const auto fragment = url.find('#');
    std::string base = url.substr(0, fragment);
    const char joint = base.find('?') == std::string::npos ? '?' : (base.ends_with('?') ? 0 : '&');
    if (joint != 0) {
        base += joint;
    }
    return base + query + (fragment == std::string::npos ? "" : url.substr(fragment));
}

bool overTls(std::string_view url) {
    constexpr std::string_view kTls = "https://";
    return url.size() >= kTls.size() &&
           std::equal(kTls.begin(), kTls.end(), url.begin(), [](char want, char c) {
               return std::tolower(static_cast<unsigned char>(c)) == want;
           });
}

}  // namespace

std::string fillTemplate(std::string_view text, const Alert& alert,
                         std::string (*escape)(std::string_view)) {
    const std::pair<std::string_view, const std::string*> fields[] = {
        {"{item}", &alert.item},
        {"{account}", &alert.account},
        {"{outcome}", &alert.outcome},
        {"{time}", &alert.time},
    };
    const std::string title = headline(alert);
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        bool matched = false;
        for (const auto& [name, value] : fields) {
            if (text.substr(at).starts_with(name)) {
                out += escape(*value);
                at += name.size();
                matched = true;
                break;
            }
        }
        if (!matched && text.substr(at).starts_with("{title}")) {
            out += escape(title);
            at += 7;
            matched = true;
        }
        if (!matched) {
            out += text[at++];
        }
    }
    return out;
}

HookRequest hookRequest(const AlertSettings& settings, const Alert& alert) {
    const std::string text = trimmed(settings.webhookBody);
    HookRequest out;
    if (settings.webhookMethod == HookMethod::Get) {
        const std::string_view pairs = text.empty() ? kDefaultPairs : std::string_view(text);
        out.url = withQuery(settings.webhookUrl,
                            pairsTemplate(pairs)
                                ? filledPairs(pairs, alert)
                                : "text=" + percentEncode(fillTemplate(pairs, alert, asIs)));
        return out;
    }
    out.url = settings.webhookUrl;
    if (text.empty() || text.starts_with('{') || text.starts_with('[')) {
        out.body =
            fillTemplate(text.empty() ? kDefaultJson : std::string_view(text), alert, jsonEscape);
        out.contentType = "application/json; charset=utf-8";
    } else if (pairsTemplate(text)) {
        out.body = filledPairs(text, alert);
        out.contentType = "application/x-www-form-urlencoded";
    } else {
        out.body = fillTemplate(text, alert, asIs);
        out.contentType = "text/plain; charset=utf-8";
    }
    return out;
}

WebHook::WebHook(AlertSettings settings, HttpSettings http, HostRule thisComputer)
    : settings_(std::move(settings)), http_(std::move(http)), thisComputer_(thisComputer) {}

std::string WebHook::where() const {
    return shownAddress(settings_.webhookUrl).value_or("alert.webhook_url 无法解析");
}

std::vector<std::string> WebHook::secrets() const {
    return secretParts(settings_.webhookUrl);
}

AttemptResult WebHook::send(const Alert& alert, const Attempt& attempt) {
    CurlCall call;
    if (!call.ready()) {
        return makeError(ErrorCode::Internal, "HTTP 库无法启动");
    }
    const std::string& url = settings_.webhookUrl;
    if (!userInfo(url).empty() && !overTls(url) && !thisComputer_(url)) {
        return {makeError(ErrorCode::Tls,
                          "地址含有密码，须用 https:// 发往其他电脑（" + where() + "）"),
                Retry::CannotHelp};
    }
    const HookRequest request = hookRequest(settings_, alert);
    // No proxy: the one configured is for the mall.
    call.set(CURLOPT_PROTOCOLS_STR, "http,https");
    if (web::applyConnectionSettings(call.handle(), http_, std::string()) != CURLE_OK) {
        return makeError(ErrorCode::Internal, "HTTP 库无法设置（" + where() + "）");
    }
    call.set(CURLOPT_URL, request.url.c_str());
    call.set(CURLOPT_FOLLOWLOCATION, 0L);
    call.set(CURLOPT_USERAGENT, "Vellicor");
    // The answer's body is not needed, nor shown (it may echo the token).
    call.set(
        CURLOPT_WRITEFUNCTION,
        +[](char*, std::size_t size, std::size_t n, void*) { return size * n; });
    call.addHeader("Idempotency-Key: " + alert.id);
    call.addHeader("X-Alert-Id: " + alert.id);
    if (settings_.webhookMethod == HookMethod::Post) {
        call.set(CURLOPT_POST, 1L);
        call.set(CURLOPT_POSTFIELDS, request.body.c_str());
        call.set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        call.addHeader("Content-Type: " + request.contentType);
        call.addHeader("Expect:");
    } else {
        call.set(CURLOPT_HTTPGET, 1L);
    }
    call.bound(attempt);
    const CURLcode code = call.perform();
    if (code != CURLE_OK) {
        return call.failure(code, where(), secrets());
    }
    long status = 0;
    curl_easy_getinfo(call.handle(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status < 300) {
        return Ok{};
    }
    const bool again = status == 408 || status == 429 || status >= 500;
    return {makeError(ErrorCode::Transfer,
                      "接收方答 HTTP " + std::to_string(status) + "（" + where() + "）"),
            again ? Retry::MayHelp : Retry::CannotHelp};
}

}  // namespace vellicor::alert
