#include "front_rig.h"

#include <algorithm>
#include <cstdio>
#include <regex>

#include "front_process.h"
#include "mall/aim.h"
#include "mall/catalogue.h"
#include "mall/clock_sync.h"
#include "schedule/time_of_day.h"

namespace vellicor::fronts {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

// Long enough that the mall has taken every request before the first answer leaves, so
// the relay's reset falls between them.
constexpr long kHeldAnswerMs = 1500;

std::int64_t nanosOf(Clock::WallTime t) {
    return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count();
}

std::string frontTag(Kind kind) {
    switch (kind) {
        case Kind::NginxAsSitesRunIt:
            return "Nginx";
        case Kind::NginxWorkTime:
            return "NginxWorkTime";
        case Kind::NginxBehindRelay:
            return "NginxRelayReset";
        case Kind::Apache:
            return "Apache";
        case Kind::Haproxy:
            break;
    }
    return "Haproxy";
}

std::string wayTag(Way way) {
    switch (way) {
        case Way::Wave:
            return "H2Wave";
        case Way::Connections:
            return "H1Connections";
        case Way::Transfers:
            break;
    }
    return "CurlTransfers";
}

test::FrontOptions frontOptions(Kind kind) {
    test::FrontOptions o;
    switch (kind) {
        case Kind::NginxAsSitesRunIt:
        case Kind::NginxWorkTime:
        case Kind::NginxBehindRelay:
            o.kind = test::FrontKind::Nginx;
            o.ownDate = true;
            o.keepaliveRequests = 20;
            o.maxConcurrentStreams = 8;
            o.keepaliveTimeoutSeconds = 2;
            break;
        case Kind::Apache:
            o.kind = test::FrontKind::Apache;
            break;
        case Kind::Haproxy:
            o.kind = test::FrontKind::Haproxy;
            break;
    }
    return o;
}

// What the mall itself does in the row, as scenario keys passed through to the simulator.
std::string mallKeys(Kind kind) {
    return kind == Kind::NginxWorkTime ? R"(, "work": {"ms": 30, "dateAt": "departure"})" : "";
}

// The line a way writes once its connections are open.
std::string openedLine(Way way) {
    return way == Way::Wave ? "HTTP/2，" : "HTTP/1.1，";
}

// "[改名] #3 第2次  :..." -> caption, worker number, attempts.
struct ParsedLine {
    std::string caption;
    int worker = 0;
    int attempts = 1;
};

std::optional<ParsedLine> parseOutcome(const std::string& line) {
    static const std::regex pattern(R"(\[(.+)\] #(\d+)(?: 第(\d+)次)?  :)");
    std::smatch m;
    if (!std::regex_search(line, m, pattern)) {
        return std::nullopt;
    }
    ParsedLine p;
    p.caption = m[1];
    p.worker = std::stoi(m[2]);
    p.attempts = m[3].matched ? std::stoi(m[3]) : 1;
    return p;
}

std::string captionOf(const std::string& id) {
    return std::string(mall::findItem(id)->caption);
}

std::string propsidOf(const std::string& id) {
    return "propsid=" + std::to_string(mall::findItem(id)->target.propsid);
}

// The set time of day that names `opening` by the tool's rule. The tool reads a set time
// in one zone, the computer's or the mall's (UTC+8): the one whose aim lands on `opening`
// is the rule in force.
std::optional<mall::FiringAim> aimAt(const Config& config, const Clock& clock,
                                     const Result<mall::OffsetEstimate>& estimate,
                                     Clock::WallTime opening) {
    for (const int offset : {clock.utcOffsetSeconds(opening), 8 * 3600}) {
        auto aim =
            mall::aimFiring(config, clock, estimate, schedule::localTimeOfDay(opening, offset));
        const auto off = aim.opening - opening;
        if (off > -seconds(2) && off < seconds(2)) {
            return aim;
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<Row> tableRows() {
    std::vector<Row> rows;
    for (const Kind kind : {Kind::NginxAsSitesRunIt, Kind::NginxWorkTime, Kind::NginxBehindRelay,
                            Kind::Apache, Kind::Haproxy}) {
        for (const Way way : {Way::Wave, Way::Connections, Way::Transfers}) {
            rows.push_back({frontTag(kind) + wayTag(way), kind, way});
        }
    }
    return rows;
}

// What the run wrote and what the front end said, once for a failed row.
void FrontRig::TearDown() {
    if (HasFailure() && server_) {
        std::printf("%s\n", context().c_str());
    }
    front_.reset();
    relay_.reset();
    server_.reset();
}

ResetAt FrontRig::resetAt(bool timed) const {
    if (GetParam().kind != Kind::NginxBehindRelay) {
        return ResetAt::Never;
    }
    // libcurl's transfers open nothing ahead: there is no lead to reset them in.
    return timed && GetParam().way != Way::Transfers ? ResetAt::InTheLead : ResetAt::OnceTaken;
}

std::string FrontRig::scenario(const std::string& items, const std::string& extra) const {
    return R"({"sessions": {"10001": "frontkey"}, "itemDefaults": {"price": 0, "stock": 100000)" +
           items + "}" + mallKeys(GetParam().kind) + extra + "}";
}

void FrontRig::startRig() {
    const Row& row = GetParam();
    portal::ServerOptions options;
    options.scenarioJson = scenario({});
    auto server = portal::Server::start(options);
    ASSERT_TRUE(server.ok()) << server.error().message;
    server_ = std::move(server).value();

    test::FrontOptions front = frontOptions(row.kind);
    front.upstreamPort = server_->port();
    auto started = test::startFrontEnd(front);
    ASSERT_TRUE(started.ok()) << started.error().message;
    front_ = std::move(started).value();
    std::uint16_t port = front_->port();
    if (row.kind == Kind::NginxBehindRelay) {
        auto relay = test::ResettingRelay::start(port);
        ASSERT_TRUE(relay.ok()) << relay.error().message;
        relay_ = std::move(relay).value();
        port = relay_->port();
    }

    config_ = Config::defaults().withPortal("https://127.0.0.1:" + std::to_string(port));
    config_.http.caFile = test::tlsCaFile();
    config_.exchange.retryPauseMs = 100;
    switch (row.way) {
        case Way::Wave:
            config_.http.version = HttpVersion::Auto;
            config_.timer.preopenLeadMs = 1000;
            break;
        case Way::Connections:
            config_.http.version = HttpVersion::Http1_1;
            config_.timer.preopenLeadMs = 1000;
            break;
        case Way::Transfers:
            config_.timer.preopenLeadMs = 0;  // nothing opened ahead: libcurl's transfers
            break;
    }
}

void FrontRig::runNow(long opensAfterMs) {
    const ResetAt reset = resetAt(false);
    const std::string opens =
        opensAfterMs > 0 ? R"(, "opensAfterMs": )" + std::to_string(opensAfterMs) : "";
    const std::string held =
        reset == ResetAt::OnceTaken ? R"(, "replyDelayMs": )" + std::to_string(kHeldAnswerMs) : "";
    ASSERT_TRUE(server_->setScenario(scenario(opens, held)).ok());
    server_->clearLog();
    mall::ExchangeController controller(config_, SystemClock::instance(), lines_.sink());
    ASSERT_TRUE(controller.start(kItems, std::to_string(kPerItem), vellicor::web::oneAccount(kCookies)));
    if (reset == ResetAt::OnceTaken) {
        resetOnceTaken();
    }
    controller.wait();
    summary_ = controller.lastSummary().value_or(mall::RunSummary{});
}

void FrontRig::resetOnceTaken() {
    const bool taken = test::waitUntil(
        [this] { return static_cast<int>(exchanges().size()) >= kWorkers; }, seconds(10));
    EXPECT_TRUE(taken) << "the mall had taken " << exchanges().size() << " of " << kWorkers
                       << " requests after 10 s, when the relay reset the connections";
    resetConnections_ = relay_->resetAll();
}

void FrontRig::runTimed() {
    const Clock& clock = SystemClock::instance();
    mall::SyncOptions sync;
    sync.timeBudget = seconds(2);  // the bound gets wider, the aim stays on its safe side
    const auto estimate = mall::timerEstimate(config_, clock, sync);
    EXPECT_TRUE(estimate.ok()) << "the mall's clock could not be read through the front end: "
                               << estimate.error().message;
    // The first whole second at least the lead and a little ahead.
    const auto wanted = std::chrono::ceil<seconds>(clock.wallNow() + milliseconds(1500));
    const auto aim = aimAt(config_, clock, estimate, wanted);
    ASSERT_TRUE(aim.has_value())
        << "the tool's aim for a set time about 2 s ahead is not within 2 s "
           "of it on either the computer's zone or UTC+8";
    lines_.sink()(aim->line);
    openingNanos_ = nanosOf(aim->opening);

    const ResetAt reset = resetAt(true);
    const std::string opens = R"(, "opensAtEpochMs": )" + std::to_string(*openingNanos_ / 1000000);
    const std::string held =
        reset == ResetAt::OnceTaken ? R"(, "replyDelayMs": )" + std::to_string(kHeldAnswerMs) : "";
    ASSERT_TRUE(server_->setScenario(scenario(opens, held)).ok());
    server_->clearLog();
    if (reset == ResetAt::InTheLead) {
        lines_.onFirst(openedLine(GetParam().way),
                       [this] { resetConnections_ = relay_->resetAll(); });
    }
    mall::ExchangeController controller(config_, clock, lines_.sink());
    mall::RunOptions options;
    options.fireAt = aim->fireAt;
    ASSERT_TRUE(controller.start(kItems, std::to_string(kPerItem), vellicor::web::oneAccount(kCookies), options));
    if (reset == ResetAt::OnceTaken) {
        resetOnceTaken();
    }
    controller.wait();
    summary_ = controller.lastSummary().value_or(mall::RunSummary{});
    if (reset == ResetAt::InTheLead) {
        EXPECT_GT(resetConnections_, 0) << "the relay had no connection to reset in the lead";
    }
}

std::vector<portal::LoggedRequest> FrontRig::exchanges() const {
    std::vector<portal::LoggedRequest> out;
    for (auto& r : server_->log()) {
        if (r.target.starts_with(kExchange)) {
            out.push_back(r);
        }
    }
    return out;
}

std::string FrontRig::context() const {
    std::string errors = front_ ? front_->errorLog() : std::string();
    if (errors.size() > 3000) {
        errors = "…" + errors.substr(errors.size() - 3000);
    }
    return "\n--- the run's lines:\n" + lines_.text() + "--- " +
           (front_ ? test::frontName(frontOptions(GetParam().kind).kind) : std::string("front")) +
           " error log (end):\n" + errors;
}

// A row that fell back to another way would test that way twice and its own never.
void FrontRig::expectTheRowsWay() {
    bool h2 = false;
    bool h1 = false;
    for (const auto& line : lines_.lines()) {
        h2 = h2 || line.starts_with(openedLine(Way::Wave));
        h1 = h1 || line.starts_with(openedLine(Way::Connections));
    }
    const Way way = GetParam().way;
    EXPECT_EQ(h2, way == Way::Wave) << "a line starting " << openedLine(Way::Wave);
    EXPECT_EQ(h1, way == Way::Connections) << "a line starting " << openedLine(Way::Connections);
}

void FrontRig::expectOneLinePerWorker() {
    std::map<std::string, std::vector<int>> linesOf;  // caption -> lines per worker number
    int outcomeLines = 0;
    for (const auto& line : lines_.lines()) {
        if (const auto p = parseOutcome(line)) {
            ++outcomeLines;
            auto& perWorker = linesOf[p->caption];
            perWorker.resize(std::max<std::size_t>(perWorker.size(), p->worker + 1));
            ++perWorker[static_cast<std::size_t>(p->worker)];
        }
    }
    EXPECT_EQ(outcomeLines, kWorkers);
    EXPECT_EQ(summary_.lines, kWorkers);
    for (const auto& box : kItems) {
        auto perWorker = linesOf[captionOf(box)];
        perWorker.resize(std::max<std::size_t>(perWorker.size(), kPerItem + 1));
        for (int n = 1; n <= kPerItem; ++n) {
            EXPECT_EQ(perWorker[static_cast<std::size_t>(n)], 1)
                << "lines for [" << captionOf(box) << "] #" << n;
        }
    }
}

void FrontRig::expectTheMallSawWhatTheRunCounts() {
    const auto taken = exchanges();
    std::map<std::string, int> attempts;  // caption -> the run's sends for the item
    for (const auto& line : lines_.lines()) {
        if (const auto p = parseOutcome(line)) {
            attempts[p->caption] += p->attempts;
        }
    }
    for (const auto& box : kItems) {
        const auto takenForItem = std::count_if(taken.begin(), taken.end(), [&](const auto& r) {
            return r.target.find(propsidOf(box)) != std::string::npos;
        });
        EXPECT_EQ(takenForItem, attempts[captionOf(box)])
            << "the mall took " << takenForItem << " requests for [" << captionOf(box)
            << "], its workers' lines count " << attempts[captionOf(box)] << " sends";
    }
    EXPECT_EQ(static_cast<int>(taken.size()), summary_.sends)
        << "the mall took " << taken.size() << " requests, the summary claims " << summary_.sends
        << " sends";
    // The front end may write a request's line once its answer is done.
    const int logged = static_cast<int>(taken.size());
    front_->awaitAccessLines(kExchange, logged, seconds(3));
    EXPECT_EQ(front_->accessLogLines(kExchange), logged)
        << "the front end's access log against the mall's"
        << "\n"
        << front_->accessLog().substr(0, 4000);
}

void FrontRig::expectNoneBeforeTheOpening() {
    ASSERT_TRUE(openingNanos_.has_value());
    std::vector<std::int64_t> early;
    std::int64_t first = INT64_MAX;
    for (const auto& r : exchanges()) {
        first = std::min(first, r.arrivalNanos);
        if (r.arrivalNanos < *openingNanos_) {
            early.push_back(*openingNanos_ - r.arrivalNanos);
        }
    }
    ASSERT_NE(first, INT64_MAX) << "no request reached the mall";
    EXPECT_TRUE(early.empty()) << early.size() << " requests reached the mall before the opening,"
                               << " the first " << static_cast<double>(*openingNanos_ - first) / 1e6
                               << " ms before it";
}

void FrontRig::expectEachAnswered() {
    ASSERT_EQ(summary_.items.size(), kItems.size());
    for (std::size_t i = 0; i < kItems.size(); ++i) {
        EXPECT_EQ(summary_.items[i].count(mall::OutcomeKind::Popup), kPerItem)
            << "not every worker of [" << captionOf(kItems[i])
            << "] got the mall's answer: " << mall::summaryLine(summary_);
    }
}

void FrontRig::expectEachTakenOnce() {
    const auto taken = exchanges();
    for (const auto& box : kItems) {
        const auto n = std::count_if(taken.begin(), taken.end(), [&](const auto& r) {
            return r.target.find(propsidOf(box)) != std::string::npos;
        });
        EXPECT_EQ(n, kPerItem) << "requests the mall took for [" << captionOf(box) << "]";
    }
}

void FrontRig::expectEachLostWithoutAnswer() {
    ASSERT_EQ(summary_.items.size(), kItems.size());
    EXPECT_GT(resetConnections_, 0) << "the relay reset nothing";
    for (std::size_t i = 0; i < kItems.size(); ++i) {
        EXPECT_EQ(summary_.items[i].count(mall::OutcomeKind::Unknown), kPerItem)
            << "every request was taken and its connection reset before the answer: "
            << "each worker's line should say so (已发出，结果未知)";
    }
}

}  // namespace vellicor::fronts
