#include "portal/mall_state.h"

#include <algorithm>
#include <cmath>

namespace vellicor::portal {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - static_cast<std::int64_t>((a % b != 0) && ((a < 0) != (b < 0)));
}

std::int64_t epochSeconds(WallTime t) {
    return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

std::int64_t PortalTime::localDay() const {
    return floorDiv(epochSeconds(now) + utcOffsetSeconds, kSecondsPerDay);
}

MallState::MallState() : draws_(0), keys_(std::random_device{}()), jitter_(0) {
    setScenario(defaultScenario(), PortalTime{std::chrono::system_clock::now(), 0});
}

void MallState::setScenario(Scenario scenario, const PortalTime& loadedAt) {
    std::lock_guard lock(mutex_);
    scenario_ = std::move(scenario);
    loadedAt_ = loadedAt.now;
    accounts_.clear();
    const std::int64_t today = loadedAt.localDay();
    for (const auto& a : scenario_.accounts) {
        LiveAccount live;
        live.setup = a;
        live.balances = a.balances;
        for (const auto& [gid, s] : a.signin) {
            LiveSign sign{s.total, s.run, std::nullopt};
            if (s.signedToday) {
                sign.lastDay = today;
            } else if (s.run > 0) {
                sign.lastDay = today - 1;  // the run goes on if signed today
            }
            live.signs[gid] = sign;
        }
        accounts_[a.uin] = std::move(live);
    }
    stock_.clear();
    for (const auto& [propsid, item] : scenario_.items) {
        stock_[propsid] = item.stock;
    }
    std::erase_if(sessions_, [this](const auto& s) { return !accounts_.contains(s.second); });
    for (const auto& [uin, skey] : scenario_.sessions) {
        sessions_[skey] = uin;
    }
    faultHits_.clear();
    draws_.seed(scenario_.lottery.seed);
    jitter_.seed(scenario_.lottery.seed);
}

Scenario MallState::scenario() const {
    std::lock_guard lock(mutex_);
    return scenario_;
}

MallState::LiveAccount* MallState::account(const std::string& uin) {
    auto it = accounts_.find(uin);
    return it == accounts_.end() ? nullptr : &it->second;
}

const MallState::LiveAccount* MallState::account(const std::string& uin) const {
    auto it = accounts_.find(uin);
    return it == accounts_.end() ? nullptr : &it->second;
}

std::string MallState::newSkey() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(kChars) - 2);
    std::string key = "@";
    for (int i = 0; i < 16; ++i) {
        key += kChars[pick(keys_)];
    }
    return key;
}

std::optional<std::string> MallState::login(const std::string& uin, const std::string& password) {
    std::lock_guard lock(mutex_);
    const LiveAccount* a = account(uin);
    if (a == nullptr || a->setup.password != password) {
        return std::nullopt;
    }
    std::string skey = newSkey();
    sessions_[skey] = uin;
    return skey;
}

std::string MallState::openSession(const std::string& uin) {
    std::lock_guard lock(mutex_);
    if (account(uin) == nullptr) {
        return {};
    }
    std::string skey = newSkey();
    sessions_[skey] = uin;
    return skey;
}

std::string MallState::sessionAccount(const std::string& uinCookie, const std::string& skey) const {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(skey);
    if (it == sessions_.end() || account(it->second) == nullptr) {
        return {};
    }
    // The uin cookie is "o" and the number, as the login sets it.
    std::string uin = uinCookie;
    if (!uin.empty() && uin[0] == 'o') {
        uin.erase(0, 1);
    }
    uin.erase(0, std::min(uin.find_first_not_of('0'), uin.size()));
    std::string owner = it->second;
    owner.erase(0, std::min(owner.find_first_not_of('0'), owner.size()));
    return uin == owner ? it->second : std::string{};
}

WallTime MallState::openingTime(const Opening& o, const PortalTime& time) const {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    if (o.epochMs) {
        return WallTime(milliseconds(*o.epochMs));
    }
    if (o.afterLoadMs) {
        return loadedAt_ + milliseconds(*o.afterLoadMs);
    }
    const std::int64_t midnightLocal = time.localDay() * kSecondsPerDay;
    const schedule::TimeOfDay at = *o.opensAt;
    return WallTime(seconds(midnightLocal - time.utcOffsetSeconds + at.hour * 3600 +
                            at.minute * 60 + at.second));
}

bool MallState::drawWins() {
    std::uniform_int_distribution<int> roll(0, 99);
    return roll(draws_) < scenario_.lottery.winPercent;
}

ExchangeOutcome MallState::exchange(const ExchangeRequest& r, const PortalTime& time) {
    std::lock_guard lock(mutex_);
    ExchangeOutcome out;
    LiveAccount* a = r.uin.empty() ? nullptr : account(r.uin);
    if (a == nullptr) {
        out.result = ExchangeResult::NotLoggedIn;
        return out;
    }
    out.item = findItem(r.propsid);
    if (out.item == nullptr || out.item->gid != r.gid || !scenario_.items.contains(r.propsid)) {
        out.item = nullptr;
        out.result = ExchangeResult::UnknownItem;
        return out;
    }
    const ItemSetup& setup = scenario_.items.at(r.propsid);
    out.price = setup.price;
    if (scenario_.checkToken && r.token != out.item->token) {
        out.result = ExchangeResult::BadToken;
        return out;
    }
    if (r.way != out.item->way) {
        out.result = ExchangeResult::WrongWay;
        return out;
    }
    if (setup.opens) {
        out.opensAt = openingTime(*setup.opens, time);
        if (time.now < out.opensAt) {
            out.result = ExchangeResult::NotOpenYet;
            return out;
        }
    }
    const bool unmet = setup.conditionUnmet ||
                       std::ranges::find(a->setup.unmet, r.propsid) != a->setup.unmet.end();
    if (unmet) {
        out.result = ExchangeResult::ConditionUnmet;
        return out;
    }
    out.perAccountDaily = setup.perAccountDaily;
    auto& [takenDay, takenCount] = a->taken[r.propsid];
    if (takenDay != time.localDay()) {
        takenDay = time.localDay();
        takenCount = 0;
    }
    if (setup.perAccountDaily > 0 && takenCount >= setup.perAccountDaily) {
        out.result = ExchangeResult::AccountLimit;
        return out;
    }
    std::int64_t& left = stock_[r.propsid];
    if (left <= 0) {
        out.result = ExchangeResult::SoldOut;
        return out;
    }
    auto tickets = a->balances.find(r.gid);
    const std::int64_t have = tickets == a->balances.end() ? 0 : tickets->second;
    if (have < setup.price) {
        out.result = ExchangeResult::NotEnoughTickets;
        return out;
    }
    if (setup.price > 0) {
        tickets->second -= setup.price;
    }
    ++takenCount;
    CostEntry cost{time.now, r.gid, out.item->caption, setup.price, false, out.item->way == 2};
    if (out.item->way == 2) {
        cost.lotteryWon = drawWins();
        out.result = cost.lotteryWon ? ExchangeResult::LotteryWon : ExchangeResult::LotteryLost;
    } else {
        out.result = ExchangeResult::Exchanged;
    }
    if (out.result != ExchangeResult::LotteryLost) {
        --left;
    }
    a->costs.push_back(cost);
    return out;
}

std::map<int, std::int64_t> MallState::balances(const std::string& uin) const {
    std::lock_guard lock(mutex_);
    const LiveAccount* a = account(uin);
    return a == nullptr ? std::map<int, std::int64_t>{} : a->balances;
}

std::vector<CostEntry> MallState::costs(const std::string& uin) const {
    std::lock_guard lock(mutex_);
    const LiveAccount* a = account(uin);
    return a == nullptr ? std::vector<CostEntry>{} : a->costs;
}

std::int64_t MallState::stock(std::int64_t propsid) const {
    std::lock_guard lock(mutex_);
    auto it = stock_.find(propsid);
    return it == stock_.end() ? 0 : it->second;
}

int MallState::perAccountDaily(std::int64_t propsid) const {
    std::lock_guard lock(mutex_);
    auto it = scenario_.items.find(propsid);
    return it == scenario_.items.end() ? 0 : it->second.perAccountDaily;
}

SignState MallState::signState(const std::string& uin, int gid, const PortalTime& time) const {
    std::lock_guard lock(mutex_);
    const LiveAccount* a = account(uin);
    SignState out;
    if (a == nullptr || !a->signs.contains(gid)) {
        return out;
    }
    const LiveSign& s = a->signs.at(gid);
    const std::int64_t today = time.localDay();
    out.total = s.total;
    out.signedToday = s.lastDay == today;
    const bool runAlive = s.lastDay && (*s.lastDay == today || *s.lastDay == today - 1);
    out.run = runAlive ? s.run : 0;
    return out;
}

SignState MallState::sign(const std::string& uin, int gid, const PortalTime& time) {
    {
        std::lock_guard lock(mutex_);
        LiveAccount* a = account(uin);
        if (a == nullptr) {
            return {};
        }
        LiveSign& s = a->signs[gid];
        const std::int64_t today = time.localDay();
        if (s.lastDay != today) {
            s.run = (s.lastDay && *s.lastDay == today - 1) ? s.run + 1 : 1;
            ++s.total;
            s.lastDay = today;
        }
    }
    return signState(uin, gid, time);
}

Fault MallState::takeFault(const std::string& target) {
    std::lock_guard lock(mutex_);
    const std::string* best = nullptr;
    for (const auto& [prefix, fault] : scenario_.faults) {
        if (target.starts_with(prefix) && (best == nullptr || prefix.size() > best->size())) {
            best = &prefix;
        }
    }
    if (best == nullptr) {
        return {};
    }
    const Fault& f = scenario_.faults.at(*best);
    std::int64_t& hits = faultHits_[*best];
    if (f.times >= 0 && hits >= f.times) {
        return {};
    }
    ++hits;
    return f;
}

PathDelay MallState::drawPath() {
    std::lock_guard lock(mutex_);
    const NetworkPath& p = scenario_.path;
    std::uniform_real_distribution<double> extra(0.0, p.jitterMs);
    auto leg = [&](double ms) {
        const double total = p.jitterMs > 0 ? ms + extra(jitter_) : ms;
        return std::chrono::nanoseconds(std::llround(total * 1e6));
    };
    PathDelay d;
    d.up = leg(p.upMs);
    d.down = leg(p.downMs);
    return d;
}

double MallState::clockOffsetMs() const {
    std::lock_guard lock(mutex_);
    return scenario_.clockOffsetMs;
}

double MallState::replyDelayMs() const {
    std::lock_guard lock(mutex_);
    return scenario_.replyDelayMs;
}

std::int64_t MallState::idleTimeoutMs() const {
    std::lock_guard lock(mutex_);
    return scenario_.idleTimeoutMs;
}

double MallState::workMs(const std::string& target) const {
    std::lock_guard lock(mutex_);
    const Work& w = scenario_.work;
    double ms = w.ms;
    std::size_t longest = 0;
    for (const auto& [prefix, prefixMs] : w.byPrefix) {
        if (target.starts_with(prefix) && prefix.size() > longest) {
            longest = prefix.size();
            ms = prefixMs;
        }
    }
    return ms;
}

bool MallState::datesOnDeparture() const {
    std::lock_guard lock(mutex_);
    return scenario_.work.dateAt == DateStamp::Departure;
}

std::optional<int> MallState::utcOffsetSeconds() const {
    std::lock_guard lock(mutex_);
    return scenario_.utcOffsetSeconds;
}

}  // namespace vellicor::portal
