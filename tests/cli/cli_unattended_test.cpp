// What the systemd units run: `schedule` writing the timer's drop-in from the file's [run]
// section, and `exchange` taking its flags from that section and refusing the built-in
// simulator when told to.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "run_command.h"
#include "temp_folder.h"

namespace vellicor {
namespace {

test::CommandRun runCli(const std::string& args) {
    return test::runCommand("timeout 60 " + std::string(VELLICOR_CLI_PATH) + " " + args + " 2>&1");
}

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(CliUnattended, ScheduleAndExchangeReadTheRunSection) {
    test::TempFolder folder("vellicor-unattended");
    ASSERT_FALSE(folder.path().empty());
    const std::string dir = folder.path();
    const std::string portal = "[portal]\nmall = http://127.0.0.1:9\n";
    write(dir + "/demo.accounts", "10002\tdemo\n");
    const std::string dirs = " --config-dir " + dir + " --unit-dir " + dir + "/units";
    const std::string dropIn = dir + "/units/vellicor-exchange@demo.timer.d/schedule.conf";
    const struct {
        const char* what;
        std::string ini;  // demo.ini
        std::string command;
        int exitCode;
        std::string said;     // in the output
        std::string written;  // in the file the command wrote (dropIn or run.csv), if any
    } cases[] = {
        {"the lead before a Beijing time, in UTC",
         portal + "[run]\nat = 12:00:00\nlead_seconds = 90\n", "schedule demo" + dirs, 0,
         "systemctl enable --now vellicor-exchange@demo.timer",
         "OnCalendar=\nOnCalendar=*-*-* 03:58:30 UTC\n"},
        {"a lead past midnight UTC", portal + "[run]\nat = 8:0:30\nlead_seconds = 60\n",
         "schedule demo" + dirs, 0, "", "OnCalendar=*-*-* 23:59:30 UTC\n"},
        {"no portal host", "[run]\nat = 12:00:00\n", "schedule demo" + dirs, 1, "没有设定 [portal]",
         ""},
        {"no set time", portal, "schedule demo" + dirs, 1, "没有 at", ""},
        {"a name that is a path", portal, "schedule ../demo" + dirs, 2, "takes one NAME", ""},
        {"the service's refusal of the simulator", "[run]\nitems = cf-rename\nthreads = 1\n",
         "exchange --no-simulator --config " + dir + "/demo.ini", 1, "没有设定 [portal]", ""},
        {"flags from the file, the accounts beside it",
         "[run]\nitems = cf-rename\nthreads = 2\n"
         "accounts = demo.accounts\nname = 机房二\n",
         "exchange --config " + dir + "/demo.ini --timeline " + dir + "/run.csv", 0,
         "演示帐号 10002", ",机房二,,first_request\n"},
        {"a flag given beats the file", "[run]\nitems = no-such-item\nthreads = 1\n",
         "exchange --items cf-rename --config " + dir + "/demo.ini", 0, "兑换结束", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir + "/units");
        std::filesystem::remove(dir + "/run.csv");
        write(dir + "/demo.ini", c.ini);
        const auto run = runCli(c.command);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
        EXPECT_NE(run.out.find(c.said), std::string::npos) << run.out;
        const std::string written =
            test::readText(c.command.starts_with("schedule") ? dropIn : dir + "/run.csv");
        if (c.written.empty()) {
            EXPECT_EQ(written, "");
        } else {
            EXPECT_NE(written.find(c.written), std::string::npos) << written;
        }
    }
}

}  // namespace
}  // namespace vellicor
