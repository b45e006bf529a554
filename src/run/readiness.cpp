#include "run/readiness.h"

#include <poll.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "alert/alerter.h"
#include "mall/run_input.h"
#include "run/readiness_points.h"
#include "web/page_request.h"
#include "web/proxy_setting.h"
#include "web/proxy_tunnel.h"

namespace vellicor::run {
namespace detail {

void Lines::add(Mark mark, std::string text) {
    CheckLine line{mark, std::move(text)};
    if (setup_.log) {
        setup_.log(checkLineText(line));
    }
    out_.lines.push_back(std::move(line));
}

std::string millis(std::chrono::nanoseconds value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(value.count()) / 1e6);
    return buf;
}

namespace {

std::string who(const web::Account& account) {
    return (account.name.empty() ? std::string("帐号") : "帐号 " + account.name) + "：";
}

// The account's own requests go by its proxy, or the configured one.
Config configOf(const Config& config, const web::Account& account) {
    Config own = config;
    own.http.proxy = web::proxyOf(account, config.http.proxy);
    return own;
}

// A tunnel through the proxy to the mall, as the run's own connections make it, timed.
Result<std::chrono::nanoseconds> tunnelTime(const Config& config, const web::ProxySetting& proxy,
                                            const Clock& clock) {
    const auto address = web::splitAddress(config.mall);
    if (!address) {
        return address.error();
    }
    const Clock::Steady start = clock.steadyNow();
    const Clock::Steady deadline = start + std::chrono::milliseconds(config.http.connectTimeoutMs);
    auto tunnel = web::ProxyTunnel::start(proxy, address->host, address->port, config.http);
    if (!tunnel) {
        return tunnel.error();
    }
    web::ProxyTunnel& t = **tunnel;
    while (t.state() == web::ProxyTunnel::State::Opening && clock.steadyNow() < deadline) {
        pollfd fd{t.fd(), t.events(), 0};
        // Before it has a socket, libcurl is resolving: it is looked at again shortly.
        ::poll(&fd, t.fd() >= 0 ? 1 : 0, 10);
        t.advance();
    }
    switch (t.state()) {
        case web::ProxyTunnel::State::Open:
            return clock.steadyNow() - start;
        case web::ProxyTunnel::State::Failed:
            return t.error();
        case web::ProxyTunnel::State::Opening:
            break;
    }
    return makeError(ErrorCode::Timeout, "timed out: no tunnel within " +
                                             std::to_string(config.http.connectTimeoutMs) + " ms");
}

// False when the proxy is down: the account's other points are not asked through it.
bool checkProxy(Lines& lines, const web::Account& account) {
    const Config& config = lines.setup().config;
    const std::string& setting = web::proxyOf(account, config.http.proxy);
    if (setting.empty()) {
        lines.add(Mark::Pass, who(account) + "直连商城，未设代理");
        return true;
    }
    const std::string shown = "代理 " + web::proxyForDisplay(setting);
    const auto proxy = web::parseProxy(setting);
    auto time = proxy ? tunnelTime(config, *proxy, lines.clock())
                      : Result<std::chrono::nanoseconds>(proxy.error());
    if (!time) {
        lines.add(Mark::Fail, who(account) + shown + " 不通：" + time.error().message);
        return false;
    }
    lines.add(Mark::Pass,
              who(account) + shown + " 可用，到商城的隧道 " + millis(*time) + " 毫秒建立");
    return true;
}

mall::SessionState askSession(const ReadinessSetup& setup, const web::Account& account) {
    return setup.sessionCheck ? setup.sessionCheck(account)
                              : mall::checkSession(setup.config, account);
}

// The games of the ticked items, each once, in the items' order.
std::vector<const mall::Game*> gamesOf(const std::vector<const mall::Item*>& items) {
    std::vector<const mall::Game*> games;
    for (const mall::Item* item : items) {
        const mall::Game* game = &mall::gameOf(*item);
        if (std::find(games.begin(), games.end(), game) == games.end()) {
            games.push_back(game);
        }
    }
    return games;
}

bool empty(const mall::Balance& balance) {
    return balance.state == mall::BalanceState::Absent ||
           (balance.state == mall::BalanceState::Read &&
            balance.amount.find_first_not_of('0') == std::string::npos);
}

void checkBalances(Lines& lines, const web::Account& account,
                   const std::vector<const mall::Item*>& items) {
    const auto balances =
        mall::readBalances(configOf(lines.setup().config, account), account.cookies);
    if (!balances) {
        lines.add(Mark::Fail, who(account) + "余额读不出：" + balances.error().message);
        return;
    }
    std::string shown;
    std::string lacking;
    for (const mall::Game* game : gamesOf(items)) {
        for (const mall::Balance& b : *balances) {
            if (b.game != game) {
                continue;
            }
            shown += (shown.empty() ? "" : "，") + b.text;
            if (empty(b)) {
                lacking += (lacking.empty() ? "" : "、") + std::string(game->caption);
            }
        }
    }
    if (!lacking.empty()) {
        lines.add(Mark::Warn,
                  who(account) + "没有 " + lacking + " 的票，勾选的物品兑换不了（" + shown + "）");
    } else {
        lines.add(Mark::Pass, who(account) + "余额：" + shown);
    }
}

}  // namespace

void checkAccount(Lines& lines, const web::Account& account,
                  const std::vector<const mall::Item*>& items) {
    if (!checkProxy(lines, account)) {
        lines.add(Mark::Fail, who(account) + "会话未能确认：代理不通");
        lines.add(Mark::Fail, who(account) + "余额未能读取：代理不通");
        return;
    }
    switch (askSession(lines.setup(), account)) {
        case mall::SessionState::LoggedIn:
            lines.add(Mark::Pass, who(account) + "会话有效");
            break;
        case mall::SessionState::LoggedOut:
            lines.add(Mark::Fail, who(account) + "会话已失效（商城说未登录），请重新登录");
            lines.add(Mark::Fail, who(account) + "余额未能读取：会话已失效");
            return;
        case mall::SessionState::Unknown:
            // The timed run keeps such an account: the mall may be busy, not the session over.
            lines.add(Mark::Warn, who(account) + "会话未能确认：记录页打不开");
            break;
    }
    checkBalances(lines, account, items);
}

}  // namespace detail

namespace {

const char* markWord(Mark mark) {
    switch (mark) {
        case Mark::Pass:
            return "通过";
        case Mark::Warn:
            return "警告";
        case Mark::Fail:
            break;
    }
    return "失败";
}

// One test alert per channel, each channel's answer a line; every channel answers within its
// one attempt's time-out.
void checkAlerts(detail::Lines& lines, alert::Alerter* alerter) {
    if (alerter == nullptr || alerter->channels() == 0) {
        lines.add(Mark::Fail,
                  "没有配置提醒渠道：请在配置文件的 [alert] 一节设置 webhook_url 或 "
                  "smtp_url");
        return;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<alert::ChannelResult> results;
    alerter->test(
        alert::makeAlert(alert::AlertKind::Test, "测试提醒", {}, "兑换前检查：提醒渠道可用"),
        [&](const alert::ChannelResult& result) {
            std::lock_guard lock(mutex);
            results.push_back(result);
            arrived.notify_one();
        });
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return results.size() == alerter->channels(); });
    for (const alert::ChannelResult& result : results) {
        lines.add(result.status ? Mark::Pass : Mark::Fail,
                  detail::withoutLineEnd(alert::resultLine(result)));
    }
}

int requestsOf(const RunInput& run, int items, const Config& config) {
    const auto workers = mall::parseWorkerCount(run.workers, config.exchange.maxWorkers);
    const int accounts = std::max<int>(1, static_cast<int>(run.accounts.size()));
    return workers ? *workers * std::max(1, items) * accounts : 0;
}

}  // namespace

int Readiness::count(Mark mark) const {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [mark](const CheckLine& l) { return l.mark == mark; }));
}

std::string checkLineText(const CheckLine& line) {
    return "[" + std::string(markWord(line.mark)) + "] " + line.text + "\r\n";
}

std::string readinessSummary(const Readiness& readiness) {
    return "检查完毕：通过 " + std::to_string(readiness.count(Mark::Pass)) + " 项，警告 " +
           std::to_string(readiness.count(Mark::Warn)) + " 项，失败 " +
           std::to_string(readiness.count(Mark::Fail)) + " 项，" +
           (readiness.ready() ? "可以兑换" : "请先处理失败的项") + "\r\n";
}

Readiness checkReadiness(const ReadinessSetup& setup, const ReadinessInput& input) {
    Readiness out;
    detail::Lines lines(setup, out);
    const auto items = mall::selectItems(input.run.items);
    if (!items) {
        lines.add(Mark::Fail, items.error().message);
    }
    const std::vector<const mall::Item*> ticked = items ? *items : std::vector<const mall::Item*>{};
    if (auto st = checkBeforeSending(setup.config, input.run.accounts); !st) {
        lines.add(Mark::Fail, st.error().message);
    } else {
        for (const web::Account& account : input.run.accounts) {
            detail::checkAccount(lines, account, ticked);
        }
    }
    const int requests = requestsOf(input.run, static_cast<int>(ticked.size()), setup.config);
    if (requests == 0) {
        lines.add(Mark::Fail, "线程数 " + input.run.workers + " 不可用");
    }
    detail::checkMall(lines, {input.run.accounts, std::max(1, requests), input.at});
    if (setup.alerter) {
        checkAlerts(lines, setup.alerter.get());
        // Every failure named in one alert: a mall that does not answer fails many points.
        std::string failed;
        for (const CheckLine& line : out.lines) {
            if (line.mark == Mark::Fail) {
                failed += (failed.empty() ? "" : "；") + line.text;
            }
        }
        if (!failed.empty()) {
            setup.alerter->post(alert::makeAlert(alert::AlertKind::NotReady, {}, {}, failed));
        }
    }
    if (setup.log) {
        setup.log(readinessSummary(out));
    }
    return out;
}

}  // namespace vellicor::run
