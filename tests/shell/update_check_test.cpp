#include "app/update_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/link_panel.h"
#include "doubles.h"
#include "platform/codec.h"
#include "portal/server.h"

namespace vellicor::app {
namespace {

struct Check {
    explicit Check(int answer) : boxes(answer) {}
    test::RecordingBoxes boxes;
    test::RecordingOpener opener;
    test::LogCapture log;
    UpdateOutcome run(const Config& config, PageFetch fetch = {}) {
        return runUpdateCheck(config, boxes, opener, log.sink(), std::move(fetch));
    }
};

std::string gbk(const std::string& utf8) {
    return utf8ToGbk(utf8).value();
}

PageFetch replying(long status, const std::string& utf8Body) {
    return [status, body = gbk(utf8Body)](const web::PageRequest&) -> Result<web::Reply> {
        web::Reply r;
        r.status = status;
        r.body = body;
        return r;
    };
}

const std::string kStart = "正在检测版本更新...\r\n";
const std::string kCurrent = "当前为最新版本,无需更新\r\n";
const std::string kCancelled = "已取消版本更新.\r\n";
const std::string kNoPage = "无法检测版本更新: 发布帖读取失败\r\n";
const std::string kNoVersion = "无法检测版本更新: 发布帖中没有版本信息\r\n";

TEST(AnnouncedVersion, CutBetweenTheMarkers) {
    struct Case {
        std::string page;
        std::optional<std::string> version;
    };
    const std::vector<Case> cases = {
        {"<h1>Vellicor Version: 4 正式发布拉</h1>", "4"},
        {"Vellicor Version: 3 正式发布拉", "3"},
        {"Version:  12  正式发布拉", "12"},
        // An old notice quoted earlier in the thread does not count.
        {"Version: 3      有任何BUG<br>Vellicor Version: 5 正式发布拉 Version: 6", "5"},
        {"Version: 正式发布拉", std::nullopt},
        {"Vellicor 4 正式发布拉", std::nullopt},
        {"Vellicor Version: 4 released", std::nullopt},
        {"Version: 4</h1><p>很长的一段话 正式发布拉", std::nullopt},
        {"Version: 4 and a very long sentence that is no version 正式发布拉", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& tc : cases) {
        EXPECT_EQ(announcedVersion(tc.page), tc.version) << tc.page;
    }
}

TEST(UpdateCheck, AnswersToANewerVersion) {
    const Config config = Config::defaults();
    struct Case {
        int answer;
        UpdateOutcome outcome;
        std::vector<std::string> opened;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {AnswerYes, UpdateOutcome::OpenedDownload, {downloadPageAddress(config)}, {kStart}},
        {AnswerNo, UpdateOutcome::OpenedPost, {postPageAddress(config)}, {kStart}},
        {AnswerCancel, UpdateOutcome::Cancelled, {}, {kStart, kCancelled}},
        {AnswerOk, UpdateOutcome::Cancelled, {}, {kStart, kCancelled}},  // closed
    };
    for (const auto& tc : cases) {
        Check check(tc.answer);
        EXPECT_EQ(check.run(config, replying(200, "Vellicor Version: 4 正式发布拉")), tc.outcome);
        EXPECT_EQ(check.opener.opened(), tc.opened);
        EXPECT_EQ(check.log.lines(), tc.log);
        ASSERT_EQ(check.boxes.shown().size(), 1u);
        EXPECT_EQ(check.boxes.shown()[0].caption, "检测到最新版本,是否更新?");
        EXPECT_EQ(
            check.boxes.shown()[0].text,
            "点击-是-,打开百度网盘免费下载\r\n点击-否-,打开发布在Quorrel的帖子\r\n取消,则不更新");
        EXPECT_EQ(check.boxes.shown()[0].flags & 0xF, mbflags::YesNoCancel);
    }
}

TEST(UpdateCheck, EndsWithoutAQuestion) {
    struct Case {
        PageFetch fetch;
        UpdateOutcome outcome;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {replying(200, "Vellicor Version: 3 正式发布拉"),
         UpdateOutcome::Current,
         {kStart, kCurrent}},
        {replying(200, "<html>没有版本</html>"), UpdateOutcome::NoVersion, {kStart, kNoVersion}},
        {replying(404, "Vellicor Version: 4 正式发布拉"), UpdateOutcome::NoPage, {kStart, kNoPage}},
        {[](const web::PageRequest&) -> Result<web::Reply> {
             return makeError(ErrorCode::Connect, "refused");
         },
         UpdateOutcome::NoPage,
         {kStart, kNoPage}},
    };
    for (const auto& tc : cases) {
        Check check(AnswerYes);
        EXPECT_EQ(check.run(Config::defaults(), tc.fetch), tc.outcome);
        EXPECT_EQ(check.log.lines(), tc.log);
        EXPECT_TRUE(check.boxes.shown().empty());
        EXPECT_TRUE(check.opener.opened().empty());
    }
}

// Against the simulator, through the real page request.
TEST(UpdateCheckOnPortal, AnnouncedVersions) {
    struct Case {
        std::string scenario;
        UpdateOutcome outcome;
        std::size_t boxes;
    };
    const std::vector<Case> cases = {
        {R"({"version": "3"})", UpdateOutcome::Current, 0},
        {R"({"version": "4"})", UpdateOutcome::OpenedDownload, 1},
        {R"({"faults": {"/thread-": {"mode": "no_marker"}}})", UpdateOutcome::NoVersion, 0},
        {R"({"faults": {"/thread-": {"mode": "status_503"}}})", UpdateOutcome::NoPage, 0},
    };
    for (const auto& tc : cases) {
        auto server = portal::Server::start(tc.scenario);
        ASSERT_TRUE(server.ok()) << server.error().message;
        const Config config = Config::defaults().withPortal((*server)->baseUrl());
        Check check(AnswerYes);
        EXPECT_EQ(check.run(config), tc.outcome) << tc.scenario;
        EXPECT_EQ(check.boxes.shown().size(), tc.boxes) << tc.scenario;
        if (tc.outcome == UpdateOutcome::OpenedDownload) {
            EXPECT_EQ(check.opener.opened(), std::vector<std::string>{downloadPageAddress(config)});
        }
        const auto log = (*server)->log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0].target, "/thread-206311-1-1.html");
    }
}

}  // namespace
}  // namespace vellicor::app
