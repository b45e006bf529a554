#include "platform/config.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <initializer_list>
#include <limits>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bounded_file.h"
#include "platform/quote.h"

namespace vellicor {
namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return {};
    }
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

template <typename T>
bool parseNumber(const std::string& text, T& out) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && ptr == last;
}

bool parseBool(const std::string& text, bool& out) {
    if (text == "true" || text == "1" || text == "yes" || text == "on") {
        out = true;
        return true;
    }
    if (text == "false" || text == "0" || text == "no" || text == "off") {
        out = false;
        return true;
    }
    return false;
}

bool hasLineBreak(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

using Values = std::map<std::string, std::string>;

// The bounds a number of the file must keep. Milliseconds stop at a day: a sale is decided
// in seconds, and larger values would overflow the clock arithmetic they go into.
struct Range {
    long long min;
    long long max;
};
constexpr long long kDayMs = 24LL * 60 * 60 * 1000;
constexpr long long kNoMax = std::numeric_limits<long long>::max();

std::string rangeText(Range r) {
    if (r.max == kNoMax) {
        return "must be at least " + std::to_string(r.min);
    }
    return "must lie in " + std::to_string(r.min) + ".." + std::to_string(r.max);
}

class Applier {
  public:
    explicit Applier(const Values& values) : values_(values) {}

    void text(const char* key, std::string& out) {
        if (auto it = values_.find(key); it != values_.end()) {
            out = it->second;
        }
    }
    template <typename T>
    void number(const char* key, T& out, Range range) {
        auto it = values_.find(key);
        if (it == values_.end()) {
            return;
        }
        // Read wide, so that a number too large for the field is reported as out of range.
        const std::string& text = it->second;
        long long wide = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), wide);
        if (ptr != text.data() + text.size() ||
            (ec != std::errc() && ec != std::errc::result_out_of_range)) {
            invalid(key);
            return;
        }
        if (std::cmp_greater(range.max, std::numeric_limits<T>::max())) {
            range.max = static_cast<long long>(std::numeric_limits<T>::max());
        }
        if (ec != std::errc() || wide < range.min || wide > range.max) {
            fail(std::string(key) + " " + rangeText(range));
            return;
        }
        out = static_cast<T>(wide);
    }
    void number(const char* key, double& out) {
        if (auto it = values_.find(key); it != values_.end() && !parseNumber(it->second, out)) {
            invalid(key);
        }
    }
    void flag(const char* key, bool& out) {
        if (auto it = values_.find(key); it != values_.end() && !parseBool(it->second, out)) {
            invalid(key);
        }
    }
    template <typename E>
    void choice(const char* key, E& out, std::initializer_list<std::pair<const char*, E>> words) {
        auto it = values_.find(key);
        if (it == values_.end()) {
            return;
        }
        for (const auto& [word, value] : words) {
            if (it->second == word) {
                out = value;
                return;
            }
        }
        invalid(key);
    }
    // Only the first fault is reported: one the user mends, then the next.
    void fail(std::string message) {
        if (failed_.empty()) {
            failed_ = std::move(message);
        }
    }
    const std::string& failed() const { return failed_; }

  private:
    void invalid(const char* key) { fail(std::string("configuration value is not valid: ") + key); }
    const Values& values_;
    std::string failed_;
};

// The file's lines as key/value pairs, the key "section.name". Deliberately plain: a value is
// the whole rest of its line (no inline comments, continuation lines or length cap), and a line
// that is not a section, comment or key = value is an error that names it; it is not quoted,
// as it may be a password's line written with another separator.
Result<Values> readValues(const std::string& iniText) {
    Values values;
    std::istringstream in(iniText);
    std::string line;
    std::string section;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = trim(line.substr(1, line.size() - 2));
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            return makeError(ErrorCode::Parse,
                             "configuration line " + std::to_string(number) + " without '='");
        }
        values[section + "." + trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return values;
}

// The file as text, its UTF-8 byte order mark dropped; anything else is refused before a line
// of it is read, so that its bytes are not taken for keys.
Result<std::string> utf8Text(const std::string& bytes) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    std::string text = bytes.starts_with(kBom) ? bytes.substr(kBom.size()) : bytes;
    const bool utf16 = bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF") ||
                       text.find('\0') != std::string::npos;
    if (utf16) {
        return makeError(ErrorCode::Parse,
                         "configuration file is not UTF-8 text (UTF-16, or not text at all)");
    }
    if (const auto bad = utf8Prefix(text); bad < text.size()) {
        const auto begin = text.rfind('\n', bad);
        const auto from = begin == std::string::npos ? 0 : begin + 1;
        const auto line = 1 + std::count(text.begin(), text.begin() + from, '\n');
        return makeError(ErrorCode::Parse,
                         "configuration line " + std::to_string(line) + " is not UTF-8 text");
    }
    return text;
}

void applyPortal(Applier& a, Config& c) {
    a.text("portal.mall", c.mall);
    a.text("portal.quick_login", c.quickLogin);
    a.text("portal.account_login", c.accountLogin);
    a.text("portal.image", c.image);
    a.text("portal.forum", c.forum);
    a.text("portal.download", c.download);
    a.text("portal.domain", c.domain);
    a.number("publisher.thread", c.forumPost, {1, kNoMax});
    a.text("publisher.follow_hash", c.followHash);
    a.text("publisher.follow_uid1", c.followUid1);
    a.text("publisher.follow_uid2", c.followUid2);
    a.text("publisher.download_uk", c.downloadUk);
}

void applyHttp(Applier& a, HttpSettings& h) {
    a.number("http.connect_timeout_ms", h.connectTimeoutMs, {1, kDayMs});
    a.number("http.total_timeout_ms", h.totalTimeoutMs, {1, kDayMs});
    // curl takes the cap as a signed size; a gigabyte is far past any page of the portal.
    a.number("http.max_body_bytes", h.maxBodyBytes, {1, 1LL << 30});
    a.text("http.proxy", h.proxy);
    a.text("http.ca_file", h.caFile);
    a.choice(
        "http.version", h.version,
        {{"auto", HttpVersion::Auto}, {"1.1", HttpVersion::Http1_1}, {"2", HttpVersion::Http2}});
}

void applyExchange(Applier& a, ExchangeSettings& e) {
    a.number("exchange.retry_pause_ms", e.retryPauseMs, {0, kDayMs});
    a.number("exchange.retry_window_ms", e.retryWindowMs, {0, kDayMs});
    a.number("exchange.max_threads", e.maxWorkers, {1, 100000});
    a.number("exchange.max_connections_per_host", e.maxConnectionsPerHost, {1, 100000});
    a.number("exchange.throttle_backoff_ms", e.throttleBackoffMs, {0, kDayMs});
    a.number("exchange.throttle_backoff_max_ms", e.throttleBackoffMaxMs, {0, kDayMs});
    a.number("exchange.throttle_jitter_percent", e.throttleJitterPercent, {0, 100});
    // Checked on the values in force, so that a first pause raised above the default
    // maximum is caught as well.
    if (e.throttleBackoffMaxMs < e.throttleBackoffMs) {
        a.fail("exchange.throttle_backoff_max_ms must be at least exchange.throttle_backoff_ms (" +
               std::to_string(e.throttleBackoffMs) + ")");
    }
}

void applyTimer(Applier& a, TimerSettings& t) {
    a.flag("timer.server_clock", t.useServerClock);
    a.number("timer.preopen_lead_ms", t.preopenLeadMs, {0, kDayMs});
    a.flag("timer.last_byte_sync", t.lastByteSync);
    a.choice("timer.aim", t.aim, {{"arrival", TimerAim::Arrival}, {"send", TimerAim::Send}});
    a.number("timer.arrival_margin_ms", t.arrivalMarginMs);
    // A margin below zero would aim before the opening; one of a second or more is a typo.
    if (!(t.arrivalMarginMs >= 0 && t.arrivalMarginMs < 1000)) {
        a.fail("timer.arrival_margin_ms must lie in 0..1000");
    }
}

void applyWindow(Applier& a, Config& c) {
    a.number("log.max_lines", c.log.maxLines, {1, kNoMax});
    a.number("log.keep_days", c.log.keepDays, {1, kNoMax});
    a.flag("notify.wins", c.window.notifyWins);
    a.flag("session.remember", c.window.rememberSession);
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

bool hasBlankOrControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7F;
    });
}

// An address as it goes into the mail's envelope and headers: one mailbox, no display name.
bool plainMailbox(std::string_view text) {
    const auto at = text.find('@');
    return at != std::string_view::npos && at > 0 && at + 1 < text.size() &&
           text.find('@', at + 1) == std::string_view::npos && !hasBlankOrControl(text) &&
           text.find_first_of("<>,;\"()") == std::string_view::npos;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = std::min(text.find(',', start), text.size());
        out.push_back(trim(text.substr(start, comma - start)));
        start = comma + 1;
    }
    return out;
}

// The messages name the key and never quote the value: a hook's address carries its token.
void checkAddress(Applier& a, const char* key, const std::string& url,
                  std::initializer_list<std::string_view> schemes) {
    if (url.empty()) {
        return;
    }
    const bool known = std::any_of(schemes.begin(), schemes.end(), [&](std::string_view s) {
        return startsWithNoCase(url, s) && url.size() > s.size();
    });
    if (!known) {
        std::string names;
        for (std::string_view s : schemes) {
            names += (names.empty() ? "" : " or ") + std::string(s);
        }
        a.fail(std::string(key) + " must start with " + names);
    } else if (hasBlankOrControl(url)) {
        a.fail(std::string(key) + " holds a blank or a control byte");
    }
}

void checkMailboxes(Applier& a, const char* key, const std::string& value, bool several) {
    if (value.empty()) {
        a.fail(std::string(key) + " is needed with alert.smtp_url");
        return;
    }
    const std::vector<std::string> boxes = several ? splitList(value) : std::vector{value};
    for (std::size_t n = 0; n < boxes.size(); ++n) {
        if (!plainMailbox(boxes[n])) {
            a.fail(std::string(key) + " holds an address that is not name@host (address " +
                   std::to_string(n + 1) + ")");
            return;
        }
    }
}

void applyAlert(Applier& a, AlertSettings& s) {
    a.text("alert.webhook_url", s.webhookUrl);
    a.choice("alert.webhook_method", s.webhookMethod,
             {{"POST", HookMethod::Post},
              {"GET", HookMethod::Get},
              {"post", HookMethod::Post},
              {"get", HookMethod::Get}});
    a.text("alert.webhook_body", s.webhookBody);
    a.text("alert.smtp_url", s.smtpUrl);
    a.text("alert.smtp_user", s.smtpUser);
    a.text("alert.smtp_password", s.smtpPassword);
    a.text("alert.mail_from", s.mailFrom);
    a.text("alert.mail_to", s.mailTo);
    a.number("alert.timeout_ms", s.timeoutMs, {1, kDayMs});
    a.number("alert.attempts", s.attempts, {1, 100});
    a.number("alert.retry_pause_ms", s.retryPauseMs, {0, kDayMs});
    checkAddress(a, "alert.webhook_url", s.webhookUrl, {"http://", "https://"});
    checkAddress(a, "alert.smtp_url", s.smtpUrl, {"smtp://", "smtps://"});
    if (!s.smtpUrl.empty()) {
        checkMailboxes(a, "alert.mail_from", s.mailFrom, false);
        checkMailboxes(a, "alert.mail_to", s.mailTo, true);
    }
    // The body goes into a request or a mail whole; the user name into the login exchange.
    for (const auto& [key, value] : {std::pair{"alert.webhook_body", &s.webhookBody},
                                     std::pair{"alert.smtp_user", &s.smtpUser},
                                     std::pair{"alert.smtp_password", &s.smtpPassword}}) {
        if (hasLineBreak(*value)) {
            a.fail(std::string(key) + " holds a line break");
        }
    }
}

void applyRun(Applier& a, RunSettings& r) {
    a.text("run.at", r.at);
    a.text("run.items", r.items);
    a.text("run.threads", r.threads);
    a.text("run.accounts", r.accounts);
    a.text("run.name", r.name);
    a.number("run.lead_seconds", r.leadSeconds, {0, 3600});
}

}  // namespace

Config Config::defaults() {
    Config c;
    c.mall = "http://mall.portal.invalid";
    c.quickLogin = "http://qlogin.portal.invalid";
    c.accountLogin = "http://login.portal.invalid";
    c.image = "http://img.portal.invalid";
    c.forum = "http://forum.portal.invalid";
    c.download = "http://pan.portal.invalid";
    c.domain = "portal.invalid";
    c.forumPost = 206311;
    c.followHash = "3fa2c1d8";
    c.followUid1 = "1180467";
    c.followUid2 = "1203355";
    c.downloadUk = "2837465910";
    return c;
}

Config Config::withPortal(const std::string& base) const {
    Config c = *this;
    std::string b = base;
    while (!b.empty() && b.back() == '/') {
        b.pop_back();
    }
    c.mall = c.quickLogin = c.accountLogin = c.image = c.forum = c.download = b;
    auto host = b.substr(b.find("://") == std::string::npos ? 0 : b.find("://") + 3);
    c.domain = host.substr(0, host.find(':'));
    return c;
}

Result<Config> parseConfig(const std::string& iniText) {
    auto text = utf8Text(iniText);
    if (!text) {
        return text.error();
    }
    auto values = readValues(text.value());
    if (!values) {
        return values.error();
    }
    Config c = Config::defaults();
    Applier a(values.value());
    applyPortal(a, c);
    applyHttp(a, c.http);
    applyExchange(a, c.exchange);
    applyTimer(a, c.timer);
    applyWindow(a, c);
    applyAlert(a, c.alert);
    applyRun(a, c.run);
    if (!a.failed().empty()) {
        return makeError(ErrorCode::Parse, a.failed());
    }
    // A configured text ends up in request lines and headers: a line break there would let
    // the file smuggle header lines into every request.
    for (const std::string* s :
         {&c.mall, &c.quickLogin, &c.accountLogin, &c.image, &c.forum, &c.download, &c.domain,
          &c.followHash, &c.followUid1, &c.followUid2, &c.downloadUk, &c.http.proxy}) {
        if (hasLineBreak(*s)) {
            return makeError(ErrorCode::Parse, "configuration value holds a line break");
        }
    }
    return c;
}

Result<Config> loadConfig(const std::string& path) {
    auto text = readBoundedFile(path);
    if (!text && text.error().code == ErrorCode::TooLarge) {
        return makeError(ErrorCode::TooLarge, "configuration file " + quoteBytes(path) +
                                                  " is larger than 1 MiB: refused");
    }
    if (!text) {
        return makeError(ErrorCode::Io, "cannot read configuration file " + quoteBytes(path) +
                                            ": " + text.error().message);
    }
    return parseConfig(text.value());
}

}  // namespace vellicor
