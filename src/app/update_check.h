#pragma once
// The update check: reads the tool's forum thread, finds the version it announces and, when
// that is not this version, asks whether to fetch it.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/config.h"
#include "platform/result.h"
#include "platform/services.h"
#include "web/page_request.h"

namespace vellicor::app {

// How the check reaches the forum: web::pageRequest unless a test gives another.
using PageFetch = std::function<Result<web::Reply>(const web::PageRequest&)>;

enum class UpdateOutcome {
    NoPage,          // the thread page could not be fetched
    NoVersion,       // the page announces no version
    Current,         // the page announces this version
    OpenedDownload,  // newer version, answer Yes
    OpenedPost,      // newer version, answer No
    Cancelled,       // newer version, answer Cancel or the box closed
};

inline constexpr const char* kUpdateCaption = "检测到最新版本,是否更新?";
inline constexpr const char* kUpdateQuestion =
    "点击-是-,打开百度网盘免费下载\r\n点击-否-,打开发布在Quorrel的帖子\r\n取消,则不更新";

// The version the thread heading announces: the text between "Version: " and " 正式发布拉"
// (UTF-8 page text). The nearest "Version: " before the first " 正式发布拉" counts, so that
// a quoted older notice elsewhere in the page does not. Nothing when either marker is
// missing or what stands between them is no plain version text.
std::optional<std::string> announcedVersion(std::string_view page);

// Runs the whole check and blocks until the user has answered. Meant for a thread other than
// the window's: it waits on the network, and the message box service is called from this
// thread (the window's service carries the box over to the window's thread and waits there).
UpdateOutcome runUpdateCheck(const Config& config, MessageBoxService& boxes, UrlOpener& opener,
                             const LogSink& log, PageFetch fetch = {});

}  // namespace vellicor::app
