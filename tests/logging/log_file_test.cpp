// The log file: one a day, of which the newest days stay; when the disk says no, nothing is
// dropped without a word, and what could not be written goes out once the file can be
// written again.
#include "app/log_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace vellicor::app {
namespace {

namespace fs = std::filesystem;

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()) << "no folder for the test"; }

    void listen(LogFile& file) {
        file.setOnTrouble([this](const std::string& text) {
            std::lock_guard lock(mutex_);
            notices_.push_back(text);
        });
    }
    std::vector<std::string> notices() {
        std::lock_guard lock(mutex_);
        return notices_;
    }
    // The day's file on a device that takes nothing: every write fails with ENOSPC.
    std::string onFullDevice() {
        const std::string path = dir_ + "/" + logFileName(clock_, clock_.wallNow());
        fs::create_symlink("/dev/full", path);
        return path;
    }

    test::TempFolder folder_{"vellicor-log"};
    const std::string dir_ = folder_.path();
    MockClock clock_{Clock::WallTime{std::chrono::hours(24 * 20500)}};
    std::mutex mutex_;
    std::vector<std::string> notices_;
};

// A folder that cannot be made (its parent is a file): not writing, said once, however many
// lines come.
TEST_F(LogFileTest, AFileThatCannotBeOpenedIsSaidOnceAndNotClaimed) {
    std::ofstream(dir_ + "/plain") << "a file\n";
    LogFile file(dir_ + "/plain/logs", clock_, 3);
    file.flush();
    EXPECT_FALSE(file.writing());
    listen(file);  // the notice from the opening is handed over now
    file.append("one\r\n");
    file.append("two\r\n");
    file.flush();
    EXPECT_FALSE(file.writing());
    const auto said = notices();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("日志文件无法写入：" + file.currentPath()), std::string::npos)
        << said[0];
    EXPECT_NE(said[0].find("Not a directory"), std::string::npos) << said[0];
}

// The day's file on a full device: the line is kept, and written once the file is a file
// again; the notices say when it failed and when it recovered.
TEST_F(LogFileTest, LinesAFullDiskRefusedGoOutOnceItTakesThemAgain) {
    const std::string path = onFullDevice();
    LogFile file(dir_, clock_, 3);
    listen(file);
    file.append("first\r\n");
    file.flush();
    EXPECT_FALSE(file.writing());
    fs::remove(path);
    file.append("second\r\n");
    file.flush();
    EXPECT_TRUE(file.writing());
    EXPECT_EQ(test::readText(path), "first\nsecond\n");
    const auto said = notices();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find("日志文件无法写入"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("No space left on device"), std::string::npos) << said[0];
    EXPECT_EQ(said[1], "日志文件恢复写入：" + path + "\r\n");
}

// What waits is bounded: past kMaxPendingBytes the oldest whole lines go, and the count of
// them is in the recovery notice.
TEST_F(LogFileTest, WhatWaitsIsBoundedByWholeLines) {
    const std::string path = onFullDevice();
    LogFile file(dir_, clock_, 3);
    listen(file);
    const std::string line(1023, 'x');  // 1 KiB with its line end
    const std::size_t lines = LogFile::kMaxPendingBytes / 1024 + 100;
    for (std::size_t i = 0; i < lines; ++i) {
        file.append(line + "\r\n");
    }
    file.append("last\r\n");
    file.flush();
    fs::remove(path);
    file.append("after\r\n");
    file.flush();
    const std::string text = test::readText(path);
    EXPECT_LE(text.size(), LogFile::kMaxPendingBytes + 6);
    EXPECT_TRUE(text.starts_with(line + "\n")) << text.substr(0, 40);
    EXPECT_TRUE(text.ends_with("last\nafter\n"));
    const std::size_t kept = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    const auto said = notices();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[1].find("其间 " + std::to_string(lines + 2 - kept) + " 行"), std::string::npos)
        << said[1];
}

// One file a day on the clock's local days: the newest keepDays days' logs and the runs'
// pictures saved beside them stay; older ones go, and other files are left alone.
TEST_F(LogFileTest, OnlyTheNewestDaysLogsAndPicturesStay) {
    struct Row {
        const char* name;
        bool kept;
    };
    const Row rows[] = {
        {"vellicor-2026-02-01.log", false},
        {"vellicor-2026-02-19-235959-timeline.svg", false},
        {"vellicor-2026-02-19-235959-timeline.csv", false},
        {"vellicor-2026-02-20.log", true},
        {"vellicor-2026-02-20-120000-timeline.csv", true},
        {"vellicor-2026-03-01-120000-timeline.svg", true},
        {"vellicor-2026-02-01-notes.txt", true},
        {"notes.txt", true},
    };
    for (const Row& row : rows) {
        std::ofstream(dir_ + "/" + row.name) << "old\n";
    }
    // 23:59:59 on 1 March, local (UTC+8).
    MockClock clock(Clock::WallTime(std::chrono::sys_days{std::chrono::year{2026} / 3 / 1} +
                                    std::chrono::hours(16) - std::chrono::seconds(1)));
    {
        LogFile file(dir_, clock, 3);
        file.append("first\r\n");
        file.flush();
        EXPECT_EQ(file.currentPath(), dir_ + "/vellicor-2026-03-01.log");
        clock.advance(std::chrono::seconds(2));
        file.append("second\r\n");
        file.flush();
        EXPECT_EQ(file.currentPath(), dir_ + "/vellicor-2026-03-02.log");
    }
    for (const Row& row : rows) {
        EXPECT_EQ(fs::exists(dir_ + "/" + row.name), row.kept) << row.name;
    }
    EXPECT_EQ(test::readText(dir_ + "/vellicor-2026-03-01.log"), "first\n");
    EXPECT_EQ(test::readText(dir_ + "/vellicor-2026-03-02.log"), "second\n");
}

}  // namespace
}  // namespace vellicor::app
