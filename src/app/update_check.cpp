#include "app/update_check.h"

#include "app/link_panel.h"
#include "platform/codec.h"

namespace vellicor::app {
namespace {

constexpr std::string_view kVersionMarker = "Version: ";
constexpr std::string_view kReleaseMarker = " 正式发布拉";
// A version is a short word; anything longer is page text between two unrelated markers.
constexpr std::size_t kMaxVersionLength = 16;

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool plainVersion(std::string_view text) {
    if (text.empty() || text.size() > kMaxVersionLength) {
        return false;
    }
    return text.find_first_of("<>\"\r\n") == std::string_view::npos;
}

void write(const LogSink& log, const char* line) {
    if (log) {
        log(line);
    }
}

}  // namespace

std::optional<std::string> announcedVersion(std::string_view page) {
    const auto release = page.find(kReleaseMarker);
    if (release == std::string_view::npos) {
        return std::nullopt;
    }
    const auto marker = page.rfind(kVersionMarker, release);
    if (marker == std::string_view::npos) {
        return std::nullopt;
    }
    const auto start = marker + kVersionMarker.size();
    if (start > release) {  // the two markers overlap
        return std::nullopt;
    }
    const std::string_view version = trimBlanks(page.substr(start, release - start));
    if (!plainVersion(version)) {
        return std::nullopt;
    }
    return std::string(version);
}

UpdateOutcome runUpdateCheck(const Config& config, MessageBoxService& boxes, UrlOpener& opener,
                             const LogSink& log, PageFetch fetch) {
    write(log, "正在检测版本更新...\r\n");
    if (!fetch) {
        fetch = [&config](const web::PageRequest& request) {
            return web::pageRequest(request, config.http);
        };
    }
    web::PageRequest request;
    request.url = postPageAddress(config);
    request.proxy = config.http.proxy;
    const auto reply = fetch(request);
    // An error page of the forum is no announcement, whatever it holds.
    // Either way the user hears that the check did not get an answer, rather than nothing,
    // which would read as "no newer version".
    if (!reply.ok() || reply->status != 200) {
        write(log, "无法检测版本更新: 发布帖读取失败\r\n");
        return UpdateOutcome::NoPage;
    }
    const auto version = announcedVersion(gbkToUtf8(reply->body));
    if (!version) {
        write(log, "无法检测版本更新: 发布帖中没有版本信息\r\n");
        return UpdateOutcome::NoVersion;
    }
    // Compared as text: releases are numbered with whole numbers, and any other announced
    // text is a release this one is not, which the user should hear about.
    if (*version == kVersion) {
        write(log, "当前为最新版本,无需更新\r\n");
        return UpdateOutcome::Current;
    }
    const unsigned flags = mbflags::YesNoCancel | mbflags::IconQuestion | mbflags::TaskModal;
    switch (boxes.show(kUpdateQuestion, flags, kUpdateCaption)) {
        case AnswerYes:
            opener.open(downloadPageAddress(config));
            return UpdateOutcome::OpenedDownload;
        case AnswerNo:
            opener.open(postPageAddress(config));
            return UpdateOutcome::OpenedPost;
        default:
            write(log, "已取消版本更新.\r\n");
            return UpdateOutcome::Cancelled;
    }
}

}  // namespace vellicor::app
