#pragma once
// The rig the front-end table runs on: the simulator in-process, a real front end before it
// (nginx as sites run it, the same before a mall with work time, the same behind a relay
// that resets its connections, Apache httpd, HAProxy), one run by one way of firing, and the
// rules every row is held to: one line per worker, the mall seeing exactly the requests the
// run counts, none of them before the opening, and each answered where the front end allows.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "doubles.h"
#include "front_end.h"
#include "mall/exchange_controller.h"
#include "mall/run_summary.h"
#include "portal/server.h"
#include "resetting_relay.h"

namespace vellicor::fronts {

inline constexpr const char* kCookies = "uin=o10001; skey=frontkey";
inline constexpr const char* kExchange = "/mall/index.php?op=exchangeing";
// Two items, so that each item's share of the requests is counted on its own.
inline const std::vector<std::string> kItems = {"cf-rename", "cf-body-armour"};
inline constexpr int kPerItem = 8;
inline constexpr int kWorkers = 2 * kPerItem;

enum class Kind {
    NginxAsSitesRunIt,  // its own Date, 20 requests a connection, 8 streams, 2 s keep-alive
    NginxWorkTime,      // the same before a mall whose answers take 30 ms
    NginxBehindRelay,   // the same, the connections reset by a relay between it and the tool
    Apache,             // Apache httpd, mod_http2 and mod_proxy_http
    Haproxy,
};
enum class Way { Wave, Connections, Transfers };

struct Row {
    std::string name;
    Kind kind;
    Way way;
};

inline void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// Every front end crossed with every way of firing.
std::vector<Row> tableRows();
inline std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// When the relay resets what it carries: once the run's connections are open, in the lead
// before its instant; or once the mall has taken every request and before it answers, so
// that no request may go again.
enum class ResetAt { Never, InTheLead, OnceTaken };

class FrontRig : public ::testing::TestWithParam<Row> {
  protected:
    void TearDown() override;

    // Starts the simulator, the row's front end, and the relay where the row has one. The
    // run's settings for the row's way go into config_.
    void startRig();
    // The scenario: the fixed session, free items with plenty of stock, the row's mall
    // (`"replyDelayMs": 30` for the work time), then `extra` (an item's opening, ...).
    std::string scenario(const std::string& items, const std::string& extra = {}) const;

    // A run of now, the items opening `opensAfterMs` after it starts, workers asking again
    // meanwhile.
    void runNow(long opensAfterMs);
    // A timed run as a user arms one: the mall's clock estimated through the front end, the
    // set time a few seconds ahead, the aim taken by the tool's own rule.
    void runTimed();
    // Waits (bounded) until the mall has taken every request, then has the relay reset
    // what it carries.
    void resetOnceTaken();

    // The rules of the table, checked on the run just made.
    void expectTheRowsWay();
    void expectOneLinePerWorker();
    void expectTheMallSawWhatTheRunCounts();
    void expectNoneBeforeTheOpening();
    void expectEachAnswered();
    void expectEachTakenOnce();
    void expectEachLostWithoutAnswer();

    ResetAt resetAt(bool timed) const;
    std::vector<portal::LoggedRequest> exchanges() const;
    std::string context() const;  // for failure messages: what the run wrote and the logs

    std::unique_ptr<portal::Server> server_;
    std::unique_ptr<test::FrontEnd> front_;
    std::unique_ptr<test::ResettingRelay> relay_;
    Config config_;
    test::LogCapture lines_;
    mall::RunSummary summary_;
    std::optional<std::int64_t> openingNanos_;  // a timed run's opening, real time
    int resetConnections_ = -1;                 // what the relay reset, when it did
};

}  // namespace vellicor::fronts
