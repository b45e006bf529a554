#pragma once
// The publisher configuration: hosts and addresses the tool talks to, and the tuning of
// requests, retries and the timer. Read from an INI file; --portal replaces every host.

#include <cstddef>
#include <string>

#include "platform/result.h"

namespace vellicor {

// Which HTTP the tool speaks to the mall. Auto takes HTTP/2 where the mall's TLS offers it
// (ALPN) and HTTP/1.1 elsewhere; Http2 also speaks it on plain HTTP (prior knowledge).
enum class HttpVersion { Auto, Http1_1, Http2 };

struct HttpSettings {
    // A flash sale is over within seconds: a request that has not connected within two
    // seconds, or not finished within eight, has already lost.
    long connectTimeoutMs = 2000;
    long totalTimeoutMs = 8000;
    // No page of the portal comes near this; anything larger is refused, not buffered.
    std::size_t maxBodyBytes = 4 * 1024 * 1024;
    // [user:password@]host:port, empty for none; the user name and password percent-encoded
    // where they hold ':', '@' or '%'.
    std::string proxy;
    // Certificate authority file for HTTPS (the tests' own CA), in place of the system's store;
    // empty uses the system's.
    // Verification itself is never switched off.
    std::string caFile;
    HttpVersion version = HttpVersion::Auto;
};

struct ExchangeSettings {
    long retryPauseMs = 200;     // pause before asking again when not open yet
    long retryWindowMs = 30000;  // how long a worker keeps asking after its first send
    int maxWorkers = 1000;       // cap on the worker count (the window's 线程 field)
    int maxConnectionsPerHost = 1000;
    // A "too many requests" answer (HTTP 429 or 503, or a page saying so) is asked again
    // after a pause that starts here and doubles with each such answer, up to the maximum;
    // the server's Retry-After raises it within the same maximum. Each pause is shortened
    // by a random part of up to `throttleJitterPercent` (never below the server's
    // Retry-After), and a pause the server set is lengthened by as much, so that a thousand
    // workers told to wait do not all come back at the same instant.
    long throttleBackoffMs = 500;
    long throttleBackoffMaxMs = 4000;
    int throttleJitterPercent = 50;
};

// What a timed run aims at: the moment its first request reaches the mall (Arrival), or the
// moment its requests leave (Send, when the mall's clock shows the set time).
enum class TimerAim { Arrival, Send };

struct TimerSettings {
    bool useServerClock = true;
    long preopenLeadMs = 3000;  // connections are opened this long before the instant
    bool lastByteSync = false;
    TimerAim aim = TimerAim::Arrival;
    // With Arrival, how long after the opening the first request is to reach the mall: room
    // for what the estimate cannot see (the moment between the clock read and the write).
    double arrivalMarginMs = 0.5;
};

// The log box keeps the newest lines; the whole log goes to a file a day in the user's data
// folder; the newest `keepDays` days' files are kept, with the runs' pictures beside them.
struct LogSettings {
    int maxLines = 20000;
    int keepDays = 14;
};

struct WindowSettings {
    bool notifyWins = true;        // a desktop notification for each item won or exchanged
    bool rememberSession = false;  // the browser keeps its cookies on disk between starts
};

// Alerts away from the computer: a web hook and mail. Each channel is on when its address is
// set. The web hook's URL may carry a token (in its user info or query) and the mail has a
// password: none of those may reach a log line or an error message.
enum class HookMethod { Get, Post };

struct AlertSettings {
    std::string webhookUrl;  // http:// or https://; empty: no web hook
    HookMethod webhookMethod = HookMethod::Post;
    // {item}, {account}, {outcome} and {time} are filled in; empty takes a JSON object of
    // the four (POST) or a query of them (GET).
    std::string webhookBody;
    std::string smtpUrl;  // smtp:// or smtps://; empty: no mail
    std::string smtpUser;
    std::string smtpPassword;
    std::string mailFrom;
    std::string mailTo;  // one address, or several joined by ','
    // A receiver that takes longer than this has hung: the attempt is cut and made again.
    long timeoutMs = 10000;
    int attempts = 5;  // in all, the first one included
    // The pause before the second attempt; it doubles with each further one.
    long retryPauseMs = 1000;

    bool any() const { return !webhookUrl.empty() || !smtpUrl.empty(); }
};

// An unattended run (the systemd service): what `vellicor-cli exchange` does where the command
// line leaves it out, and when `vellicor-cli schedule` starts it. Kept as written; the
// command checks them as it checks its flags.
struct RunSettings {
    std::string at;        // --at: HH:MM:SS, the set time on the mall's clock
    std::string items;     // --items: item ids, joined by ','
    std::string threads;   // --threads
    std::string accounts;  // --accounts: relative to the configuration file's folder
    std::string name;      // --name: this machine's name in the run's picture
    // The timer starts the service this long before the set time: long enough for the
    // program's start, the sessions' check and the clock's estimate.
    long leadSeconds = 120;
};

struct Config {
    // Base addresses, scheme://host[:port], no trailing slash.
    std::string mall;          // the mall host: exchange, record, sign-in, centre pages
    std::string quickLogin;    // the login service's quick-login host
    std::string accountLogin;  // the login service's account-login host
    std::string image;         // the portal's image host (login style sheet)
    std::string forum;         // the forum host
    std::string download;      // the cloud drive host of the download page
    std::string domain;        // the portal's own domain, sent to the quick-login page

    long forumPost = 0;      // the number of the tool's forum post
    std::string followHash;  // eight hex digits
    std::string followUid1;  // forum ids of the two author accounts
    std::string followUid2;
    std::string downloadUk;  // ten decimal digits

    HttpSettings http;
    ExchangeSettings exchange;
    TimerSettings timer;
    LogSettings log;
    WindowSettings window;
    AlertSettings alert;
    RunSettings run;

    // Placeholders on reserved names; a real run replaces them with a file or --portal.
    static Config defaults();
    // Every publisher host set to one base address (scheme://host:port).
    Config withPortal(const std::string& base) const;
};

// Reads an INI file (UTF-8) over the defaults. Unknown keys are ignored; a value that does not
// parse, or a number outside its range, is an error naming the key (and the range).
Result<Config> loadConfig(const std::string& path);
Result<Config> parseConfig(const std::string& iniText);

}  // namespace vellicor
