#include "portal/scenario.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <set>
#include <stdexcept>

#include "mall/catalogue.h"
#include "portal/server.h"

namespace vellicor::portal {
namespace {

using nlohmann::json;

}  // namespace

const std::vector<GameInfo>& games() {
    static const std::vector<GameInfo> table = [] {
        std::vector<GameInfo> out;
        for (const mall::Game& g : mall::games()) {
            out.push_back({std::string(g.tag), std::string(g.name), g.gid});
        }
        return out;
    }();
    return table;
}

const std::vector<CatalogueItem>& catalogue() {
    static const std::vector<CatalogueItem> table = [] {
        std::vector<CatalogueItem> out;
        for (const mall::Item& i : mall::items()) {
            out.push_back({std::string(i.id), i.target.gid, i.target.propsid, i.target.way,
                           std::string(i.target.token), std::string(i.caption)});
        }
        return out;
    }();
    return table;
}

const GameInfo* findGame(int gid) {
    for (const auto& g : games()) {
        if (g.gid == gid) {
            return &g;
        }
    }
    return nullptr;
}

const CatalogueItem* findItem(std::int64_t propsid) {
    for (const auto& i : catalogue()) {
        if (i.propsid == propsid) {
            return &i;
        }
    }
    return nullptr;
}

Scenario defaultScenario() {
    Scenario s;
    Account demo;
    demo.uin = kDemoAccounts[0];
    demo.password = kDemoPassword;
    demo.balances = {{2, 500}, {26, 120}, {17, 35}};
    demo.signin = {{2, {false, 11, 2}}, {26, {true, 30, 7}}};
    s.accounts.push_back(demo);
    Account second;
    second.uin = kDemoAccounts[1];
    second.password = kDemoPassword;
    second.balances = {{2, 240}, {1, 60}};
    second.signin = {{2, {true, 4, 4}}};
    s.accounts.push_back(second);
    Account third;
    third.uin = kDemoAccounts[2];
    third.password = kDemoPassword;
    third.balances = {{2, 20}, {40, 90}};
    s.accounts.push_back(third);
    for (const auto& item : catalogue()) {
        s.items[item.propsid] = ItemSetup{};
    }
    return s;
}

namespace {

// Parsing throws inside this file only; parseScenario turns it into an error value.
struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what) {
    throw ScenarioError(what);
}

void onlyKeys(const json& obj, const std::set<std::string>& allowed, const std::string& where) {
    if (!obj.is_object()) {
        fail(where + " must be an object");
    }
    for (const auto& [key, value] : obj.items()) {
        if (!allowed.contains(key)) {
            fail("unknown key \"" + key + "\" in " + where);
        }
    }
}

int parseGid(const std::string& key) {
    for (const auto& g : games()) {
        if (key == g.tag || key == g.name || key == std::to_string(g.gid)) {
            return g.gid;
        }
    }
    fail("unknown game \"" + key + "\"");
}

std::int64_t parsePropsid(const std::string& key) {
    for (const auto& i : catalogue()) {
        if (key == std::to_string(i.propsid) || key == i.id) {
            return i.propsid;
        }
    }
    fail("unknown item \"" + key + "\"");
}

schedule::TimeOfDay parseOpensAt(const std::string& text) {
    auto time = schedule::parseTimeOfDay(text);
    if (!time) {
        fail("opensAt must be HH:MM:SS, not \"" + text + "\"");
    }
    return *time;
}

SignState parseSign(const json& j) {
    onlyKeys(j, {"signed", "total", "run"}, "signin");
    SignState s;
    s.signedToday = j.value("signed", false);
    s.total = j.value("total", 0);
    s.run = j.value("run", 0);
    return s;
}

Account parseAccount(const json& j) {
    onlyKeys(j, {"uin", "password", "balances", "signin", "unmet"}, "account");
    Account a;
    a.uin = j.at("uin").get<std::string>();
    a.password = j.at("password").get<std::string>();
    if (a.uin.empty() || a.uin.find_first_not_of("0123456789") != std::string::npos) {
        fail("an account's uin must be decimal digits");
    }
    const json balances = j.value("balances", json::object());
    for (const auto& [game, tickets] : balances.items()) {
        a.balances[parseGid(game)] = tickets.get<std::int64_t>();
    }
    const json signin = j.value("signin", json::object());
    for (const auto& [game, state] : signin.items()) {
        a.signin[parseGid(game)] = parseSign(state);
    }
    const json unmet = j.value("unmet", json::array());
    for (const auto& p : unmet) {
        a.unmet.push_back(parsePropsid(p.is_string() ? p.get<std::string>()
                                                     : std::to_string(p.get<std::int64_t>())));
    }
    return a;
}

void applyItem(const json& j, ItemSetup& item) {
    onlyKeys(j,
             {"stock", "price", "opensAt", "opensAtEpochMs", "opensAfterMs", "conditionUnmet",
              "perAccountDaily"},
             "item");
    item.stock = j.value("stock", item.stock);
    item.perAccountDaily = j.value("perAccountDaily", item.perAccountDaily);
    if (item.perAccountDaily < 0) {
        fail("perAccountDaily cannot be negative");
    }
    item.price = j.value("price", item.price);
    item.conditionUnmet = j.value("conditionUnmet", item.conditionUnmet);
    const int forms = static_cast<int>(j.contains("opensAt")) +
                      static_cast<int>(j.contains("opensAtEpochMs")) +
                      static_cast<int>(j.contains("opensAfterMs"));
    if (forms > 1) {
        fail("an item takes one of opensAt, opensAtEpochMs and opensAfterMs");
    }
    if (forms == 1) {
        Opening o;
        if (j.contains("opensAt")) {
            o.opensAt = parseOpensAt(j.at("opensAt").get<std::string>());
        } else if (j.contains("opensAtEpochMs")) {
            o.epochMs = j.at("opensAtEpochMs").get<std::int64_t>();
        } else {
            o.afterLoadMs = j.at("opensAfterMs").get<std::int64_t>();
        }
        item.opens = o;
    }
    if (item.stock < 0 || item.price < 0) {
        fail("stock and price cannot be negative");
    }
}

FaultMode parseMode(const std::string& name) {
    static const std::map<std::string, FaultMode> modes = {
        {"none", FaultMode::None},
        {"refuse", FaultMode::Refuse},
        {"hang", FaultMode::Hang},
        {"slow", FaultMode::Slow},
        {"reset_mid_body", FaultMode::ResetMidBody},
        {"truncated_chunked", FaultMode::TruncatedChunked},
        {"huge_body", FaultMode::HugeBody},
        {"invalid_gbk", FaultMode::InvalidGbk},
        {"no_marker", FaultMode::NoMarker},
        {"status_429", FaultMode::Status429},
        {"status_503", FaultMode::Status503},
        {"garbage_status", FaultMode::GarbageStatus},
        {"redirect_loop", FaultMode::RedirectLoop},
        {"delay", FaultMode::Delay},
        {"close", FaultMode::Close},
    };
    auto it = modes.find(name);
    if (it == modes.end()) {
        fail("unknown fault mode \"" + name + "\"");
    }
    return it->second;
}

Fault parseFault(const json& j) {
    onlyKeys(j, {"mode", "bytes", "delayMs", "times"}, "fault");
    Fault f;
    f.mode = parseMode(j.at("mode").get<std::string>());
    f.bytes = j.value("bytes", f.bytes);
    f.delayMs = j.value("delayMs", f.mode == FaultMode::Slow ? 5.0 : f.delayMs);
    f.times = j.value("times", f.times);
    if (f.bytes < 0 || f.delayMs < 0) {
        fail("a fault's bytes and delayMs cannot be negative");
    }
    return f;
}

NetworkPath parsePath(const json& j) {
    onlyKeys(j, {"upMs", "downMs", "jitterMs"}, "path");
    NetworkPath p;
    p.upMs = j.value("upMs", p.upMs);
    p.downMs = j.value("downMs", p.downMs);
    p.jitterMs = j.value("jitterMs", p.jitterMs);
    if (p.upMs < 0 || p.downMs < 0 || p.jitterMs < 0) {
        fail("a path's upMs, downMs and jitterMs cannot be negative");
    }
    return p;
}

Work parseWork(const json& j) {
    onlyKeys(j, {"ms", "dateAt", "prefixes"}, "work");
    Work w;
    w.ms = j.value("ms", w.ms);
    const std::string at = j.value("dateAt", std::string("arrival"));
    if (at != "arrival" && at != "departure") {
        fail("a work's dateAt is \"arrival\" or \"departure\"");
    }
    w.dateAt = at == "departure" ? DateStamp::Departure : DateStamp::Arrival;
    const json prefixes = j.value("prefixes", json::object());
    for (const auto& [prefix, ms] : prefixes.items()) {
        if (prefix.empty() || prefix[0] != '/') {
            fail("a work prefix begins with \"/\"");
        }
        w.byPrefix[prefix] = ms.get<double>();
    }
    const bool negative = std::any_of(w.byPrefix.begin(), w.byPrefix.end(),
                                      [](const auto& entry) { return entry.second < 0; });
    if (w.ms < 0 || negative) {
        fail("a work time cannot be negative");
    }
    return w;
}

void applyItems(const json& root, Scenario& s) {
    if (root.contains("itemDefaults")) {
        for (auto& [propsid, item] : s.items) {
            applyItem(root.at("itemDefaults"), item);
        }
    }
    const json items = root.value("items", json::object());
    for (const auto& [key, value] : items.items()) {
        applyItem(value, s.items[parsePropsid(key)]);
    }
}

void applyLottery(const json& j, Lottery& l) {
    onlyKeys(j, {"seed", "winPercent"}, "lottery");
    l.seed = j.value("seed", l.seed);
    l.winPercent = j.value("winPercent", l.winPercent);
    if (l.winPercent < 0 || l.winPercent > 100) {
        fail("winPercent must lie in 0..100");
    }
}

Scenario fromJson(const json& root) {
    onlyKeys(root,
             {"accounts", "items", "itemDefaults", "lottery", "version", "clockOffsetMs",
              "replyDelayMs", "path", "work", "idleTimeoutMs", "utcOffsetSeconds",
              "centreWithoutButton", "checkToken", "faults", "sessions"},
             "scenario");
    Scenario s = defaultScenario();
    if (root.contains("accounts")) {
        s.accounts.clear();
        for (const auto& a : root.at("accounts")) {
            s.accounts.push_back(parseAccount(a));
        }
    }
    applyItems(root, s);
    if (root.contains("lottery")) {
        applyLottery(root.at("lottery"), s.lottery);
    }
    s.version = root.value("version", s.version);
    s.clockOffsetMs = root.value("clockOffsetMs", s.clockOffsetMs);
    s.replyDelayMs = root.value("replyDelayMs", s.replyDelayMs);
    if (root.contains("path")) {
        s.path = parsePath(root.at("path"));
    }
    if (root.contains("work")) {
        s.work = parseWork(root.at("work"));
    }
    s.idleTimeoutMs = root.value("idleTimeoutMs", s.idleTimeoutMs);
    if (s.idleTimeoutMs <= 0) {
        fail("idleTimeoutMs must be above 0");
    }
    if (root.contains("utcOffsetSeconds")) {
        s.utcOffsetSeconds = root.at("utcOffsetSeconds").get<int>();
    }
    const json noButton = root.value("centreWithoutButton", json::array());
    for (const auto& g : noButton) {
        s.centreWithoutButton.push_back(
            parseGid(g.is_string() ? g.get<std::string>() : std::to_string(g.get<int>())));
    }
    s.checkToken = root.value("checkToken", s.checkToken);
    const json faults = root.value("faults", json::object());
    for (const auto& [prefix, fault] : faults.items()) {
        // "*": the bare "OPTIONS *" exchange, which names no resource.
        if (prefix != "*" && (prefix.empty() || prefix[0] != '/')) {
            fail("a fault's key is a target prefix beginning with \"/\", or \"*\"");
        }
        s.faults[prefix] = parseFault(fault);
    }
    const json sessions = root.value("sessions", json::object());
    for (const auto& [uin, skey] : sessions.items()) {
        s.sessions[uin] = skey.get<std::string>();
    }
    if (s.replyDelayMs < 0) {
        fail("replyDelayMs cannot be negative");
    }
    return s;
}

}  // namespace

Result<Scenario> parseScenario(const std::string& text) {
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return defaultScenario();
    }
    try {
        return fromJson(json::parse(text));
    } catch (const json::exception& e) {
        return makeError(ErrorCode::Parse, std::string("scenario: ") + e.what());
    } catch (const ScenarioError& e) {
        return makeError(ErrorCode::Parse, std::string("scenario: ") + e.what());
    }
}

}  // namespace vellicor::portal
