// The one run both front ends wire, by its rules: sessions checked by one rule at once or at
// arming, the ended ones named, alerted and left out, the others' lines and alerts keeping
// their names. Scripted ways on a stepping clock, an injected session check, a recording
// alert channel: no socket.

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "alert/alerter.h"
#include "run/timed_run.h"
#include "schedule/time_of_day.h"
#include "scripted_way.h"
#include "wait_until.h"

namespace vellicor::run {
namespace {

using namespace std::chrono_literals;
using mall::test::Journal;
using mall::test::Script;
using mall::test::ScriptedTransport;
using mall::test::SteppingClock;

struct Posted {
    std::mutex mutex;
    std::vector<alert::Alert> alerts;
};

class RecordingChannel final : public alert::Channel {
  public:
    explicit RecordingChannel(Posted& posted) : posted_(posted) {}
    std::string name() const override { return "记录"; }
    std::string where() const override { return "record://"; }
    alert::AttemptResult send(const alert::Alert& alert, const alert::Attempt&) override {
        std::lock_guard lock(posted_.mutex);
        posted_.alerts.push_back(alert);
        return Ok{};
    }

  private:
    Posted& posted_;
};

struct Row {
    const char* name;
    std::vector<std::pair<std::string, mall::SessionState>> accounts;  // name, its session
    bool commandLine;  // the accounts cannot log in again: refused at once when none is left
    bool armed;        // at a set time, else at once
    RunEnd::Kind ends;
    std::vector<std::string> sentFor;    // the accounts whose sessions the requests carried
    std::vector<std::string> linesName;  // outcome lines name these accounts
    std::string endedAlertNames;         // the one session alert's account text; "-": none
    std::vector<std::string> wonBy;      // the win alerts' accounts
    std::vector<std::string> saysLines;  // in the log
};

std::string cookieOf(const std::string& name) {
    return "uin=o1; skey=" + name;
}

TEST(TimedRun, SessionsByOneRuleForBothFrontEnds) {
    using S = mall::SessionState;
    using K = RunEnd::Kind;
    const Row rows[] = {
        // One account's run of now goes at once, unasked; armed, it is asked at arming.
        // Seen: a command line's one account whose session had ended was never alerted.
        {"one account, at once",
         {{"", S::LoggedOut}},
         true,
         false,
         K::Finished,
         {""},
         {},
         "-",
         {""},
         {}},
        {"one account ended, armed, command line",
         {{"", S::LoggedOut}},
         true,
         true,
         K::Refused,
         {},
         {},
         "",
         {},
         {"没有一个帐号的会话有效"}},
        // Seen: the account left of two ran as a bare session, its name lost in its lines
        // and its win alert.
        {"two, one ended, at once",
         {{"小号1", S::LoggedIn}, {"小号2", S::LoggedOut}},
         true,
         false,
         K::Finished,
         {"小号1"},
         {"小号1"},
         "小号2",
         {"小号1"},
         {"警告：帐号 小号2 的会话已失效"}},
        {"two, one ended, armed",
         {{"小号1", S::LoggedIn}, {"小号2", S::LoggedOut}},
         false,
         true,
         K::Finished,
         {"小号1"},
         {"小号1"},
         "小号2",
         {"小号1"},
         {"警告：帐号 小号2 的会话已失效"}},
        {"unknown stays in",
         {{"小号1", S::Unknown}, {"小号2", S::LoggedIn}},
         true,
         true,
         K::Finished,
         {"小号1", "小号2"},
         {"小号1", "小号2"},
         "-",
         {"小号1", "小号2"},
         {"记录页打不开"}},
        {"every one ended, window",
         {{"小号1", S::LoggedOut}, {"小号2", S::LoggedOut}},
         false,
         true,
         K::Refused,
         {},
         {},
         "小号1、小号2",
         {},
         {"尚未登录或登录已失效", "没有一个帐号"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SteppingClock clock;
        Script script;
        script.otherwise = mall::test::Says::Exchanged;
        Journal journal;
        Posted posted;
        std::mutex logMutex;
        std::string log;
        std::map<std::string, S> sessions;
        std::vector<web::Account> accounts;
        for (const auto& [name, state] : row.accounts) {
            sessions[cookieOf(name)] = state;
            accounts.push_back(web::makeAccount(name, cookieOf(name)));
        }

        TimedRunSetup setup;
        setup.config = Config::defaults().withPortal("http://127.0.0.1:9");
        setup.config.timer.useServerClock = false;
        setup.config.exchange.retryWindowMs = 0;
        setup.clock = &clock;
        setup.log = [&](const std::string& line) {
            std::lock_guard lock(logMutex);
            log += line;
        };
        std::vector<std::unique_ptr<alert::Channel>> channels;
        channels.push_back(std::make_unique<RecordingChannel>(posted));
        setup.alerter =
            std::make_shared<alert::Alerter>(std::move(channels), alert::Tuning{}, LogSink{});
        setup.sessionCheck = [&sessions](const web::Account& a) { return sessions.at(a.cookies); };
        setup.transport = [&](const Config&) {
            return std::make_unique<ScriptedTransport>(clock, script, journal);
        };
        setup.scheduler.spin = 0ns;
        setup.scheduler.lead = 4s;
        setup.refuseWithoutSession = row.commandLine;
        TimedRunHooks hooks;
        hooks.input = [&accounts] { return RunInput{{"cf-rename"}, "2", accounts}; };
        const auto alerter = setup.alerter;
        // The timer's thread runs ahead on the stepping clock; a check over the network comes
        // back long before the lead. Here the timer waits for the check to be told.
        if (row.armed) {
            clock.onSleep = [&](Clock::Steady) {
                EXPECT_TRUE(test::waitUntil([&] {
                    std::lock_guard lock(logMutex);
                    return log.find(row.saysLines.front()) != std::string::npos;
                })) << "the session check's line";
            };
        }
        RunEnd end;
        {
            TimedRun run(std::move(setup), std::move(hooks));
            if (row.armed) {
                run.arm(schedule::beijingTimeOfDay(clock.wallNow() + 10s));
            } else {
                run.runNow(true);
            }
            end = run.waitForEnd();
        }
        alerter->close(10s);  // what was posted is delivered

        EXPECT_EQ(end.kind, row.ends) << log;
        std::set<std::string> sentFor;
        for (const auto& sent : journal.sent) {
            sentFor.insert(sent.cookies.substr(sent.cookies.find("skey=") + 5));
        }
        EXPECT_EQ(sentFor, std::set<std::string>(row.sentFor.begin(), row.sentFor.end()));
        for (const std::string& name : row.linesName) {
            EXPECT_NE(log.find("[改名] " + name + " #"), std::string::npos) << name << "\n" << log;
        }
        for (const std::string& line : row.saysLines) {
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        }
        std::vector<std::string> ended;
        std::set<std::string> wonBy;
        for (const alert::Alert& a : posted.alerts) {
            if (a.kind == alert::AlertKind::SessionEnded) {
                ended.push_back(a.account);
            } else if (a.kind == alert::AlertKind::Win) {
                wonBy.insert(a.account);
            }
        }
        if (std::string(row.endedAlertNames) == "-") {
            EXPECT_TRUE(ended.empty());
        } else {
            ASSERT_EQ(ended.size(), 1u) << log;
            EXPECT_NE(ended.front().find(row.endedAlertNames), std::string::npos) << ended.front();
        }
        EXPECT_EQ(wonBy, std::set<std::string>(row.wonBy.begin(), row.wonBy.end()));
    }
}

}  // namespace
}  // namespace vellicor::run
