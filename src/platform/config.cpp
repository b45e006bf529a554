#include "platform/config.h"

#include <charconv>
#include <fstream>
#include <map>
#include <sstream>

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

class Applier {
  public:
    explicit Applier(const Values& values) : values_(values) {}

    void text(const char* key, std::string& out) {
        if (auto it = values_.find(key); it != values_.end()) {
            out = it->second;
        }
    }
    template <typename T>
    void number(const char* key, T& out) {
        if (auto it = values_.find(key); it != values_.end() && !parseNumber(it->second, out)) {
            fail(key);
        }
    }
    void flag(const char* key, bool& out) {
        if (auto it = values_.find(key); it != values_.end() && !parseBool(it->second, out)) {
            fail(key);
        }
    }
    void version(const char* key, HttpVersion& out) {
        if (auto it = values_.find(key); it != values_.end()) {
            if (it->second == "auto") {
                out = HttpVersion::Auto;
            } else if (it->second == "1.1") {
                out = HttpVersion::Http1_1;
            } else if (it->second == "2") {
                out = HttpVersion::Http2;
            } else {
                fail(key);
            }
        }
    }
    void aim(const char* key, TimerAim& out) {
        if (auto it = values_.find(key); it != values_.end()) {
            if (it->second == "arrival") {
                out = TimerAim::Arrival;
            } else if (it->second == "send") {
                out = TimerAim::Send;
            } else {
                fail(key);
            }
        }
    }
    const std::string& failed() const { return failed_; }

  private:
    void fail(const char* key) {
        if (failed_.empty()) {
            failed_ = key;
        }
    }
    const Values& values_;
    std::string failed_;
};

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
    c.threadNumber = 206311;
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
    Values values;
    std::istringstream in(iniText);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
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
            return makeError(ErrorCode::Parse, "configuration line without '=': " + line);
        }
        values[section + "." + trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }

    Config c = Config::defaults();
    Applier a(values);
    a.text("portal.mall", c.mall);
    a.text("portal.quick_login", c.quickLogin);
    a.text("portal.account_login", c.accountLogin);
    a.text("portal.image", c.image);
    a.text("portal.forum", c.forum);
    a.text("portal.download", c.download);
    a.text("portal.domain", c.domain);
    a.number("publisher.thread", c.threadNumber);
    a.text("publisher.follow_hash", c.followHash);
    a.text("publisher.follow_uid1", c.followUid1);
    a.text("publisher.follow_uid2", c.followUid2);
    a.text("publisher.download_uk", c.downloadUk);
    a.number("http.connect_timeout_ms", c.http.connectTimeoutMs);
    a.number("http.total_timeout_ms", c.http.totalTimeoutMs);
    a.number("http.max_body_bytes", c.http.maxBodyBytes);
    a.text("http.proxy", c.http.proxy);
    a.text("http.ca_file", c.http.caFile);
    a.version("http.version", c.http.version);
    a.number("exchange.retry_pause_ms", c.exchange.retryPauseMs);
    a.number("exchange.retry_window_ms", c.exchange.retryWindowMs);
    a.number("exchange.max_threads", c.exchange.maxThreads);
    a.number("exchange.max_connections_per_host", c.exchange.maxConnectionsPerHost);
    a.number("exchange.throttle_backoff_ms", c.exchange.throttleBackoffMs);
    a.number("exchange.throttle_backoff_max_ms", c.exchange.throttleBackoffMaxMs);
    a.number("exchange.throttle_jitter_percent", c.exchange.throttleJitterPercent);
    a.flag("timer.server_clock", c.timer.useServerClock);
    a.number("timer.preopen_lead_ms", c.timer.preopenLeadMs);
    a.flag("timer.last_byte_sync", c.timer.lastByteSync);
    a.aim("timer.aim", c.timer.aim);
    a.number("timer.arrival_margin_ms", c.timer.arrivalMarginMs);
    a.number("log.max_lines", c.log.maxLines);
    a.number("log.keep_days", c.log.keepDays);
    a.flag("notify.wins", c.window.notifyWins);
    a.flag("session.remember", c.window.rememberSession);
    if (!a.failed().empty()) {
        return makeError(ErrorCode::Parse, "configuration value is not valid: " + a.failed());
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
    // A margin below zero would aim before the opening; one of a second or more is a typo.
    if (!(c.timer.arrivalMarginMs >= 0 && c.timer.arrivalMarginMs < 1000)) {
        return makeError(ErrorCode::Parse, "timer.arrival_margin_ms must lie in 0..1000");
    }
    if (c.log.maxLines <= 0 || c.log.keepDays <= 0) {
        return makeError(ErrorCode::Parse, "log.max_lines and log.keep_days must be above 0");
    }
    if (c.http.connectTimeoutMs <= 0 || c.http.totalTimeoutMs <= 0 || c.http.maxBodyBytes == 0) {
        return makeError(ErrorCode::Parse, "time-outs and the body cap must be above 0");
    }
    return c;
}

Result<Config> loadConfig(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return makeError(ErrorCode::Io, "cannot read configuration file " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parseConfig(text.str());
}

}  // namespace vellicor
