// vellicor-cli timeline merge: several machines' --timeline CSV files of one opening made into
// one picture, a lane per machine, and one CSV of all their rows.

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "mall/timeline_merge.h"
#include "platform/quote.h"

namespace vellicor::cli {
namespace {

int fail(const std::string& message, int code = kExitFailed) {
    std::fprintf(stderr, "vellicor-cli timeline: %s\n", message.c_str());
    return code;
}

Result<std::string> readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return makeError(ErrorCode::Io, "无法读取 " + quoteBytes(path));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where the output goes, checked before anything is read: the extension each option takes.
Status checkOutputs(const Options& opts) {
    for (const auto& [name, format] : {std::pair{"svg", mall::TimelineFormat::Svg},
                                       std::pair{"csv", mall::TimelineFormat::Csv}}) {
        const auto path = opts.value(name);
        if (path && mall::timelineFormatOf(*path) != format) {
            return makeError(ErrorCode::BadInput,
                             std::string("--") + name + " 的文件须以 ." + name + " 结尾：" + *path);
        }
    }
    if (!opts.has("svg") && !opts.has("csv")) {
        return makeError(ErrorCode::BadInput, "--svg or --csv is required");
    }
    return Ok{};
}

}  // namespace

int runTimeline(const Args& args) {
    if (args.empty() || args.front() != "merge") {
        return fail("the only subcommand is merge", kExitUsage);
    }
    auto opts = Options::parse(Args(args.begin() + 1, args.end()), {"svg", "csv"});
    if (!opts) {
        return fail(opts.error().message, kExitUsage);
    }
    if (auto st = checkOutputs(*opts); !st) {
        return fail(st.error().message, kExitUsage);
    }
    if (opts->positional().empty()) {
        return fail("merge takes one or more CSV files", kExitUsage);
    }
    std::vector<mall::TimelineFile> files;
    for (const std::string& path : opts->positional()) {
        auto text = readWhole(path);
        if (!text) {
            return fail(text.error().message);
        }
        files.push_back({path, std::move(text).value()});
    }
    auto merged = mall::mergeTimelines(files);
    if (!merged) {
        return fail(merged.error().message);
    }
    for (const std::string& line : merged->lines) {
        std::printf("%s\n", line.c_str());
    }
    if (const auto svg = opts->value("svg")) {
        if (auto st = mall::writeTimelineText(mall::mergedTimelineSvg(*merged), *svg); !st) {
            return fail(st.error().message);
        }
        std::printf("合并的时间线已写入 %s\n", svg->c_str());
    }
    if (const auto csv = opts->value("csv")) {
        if (auto st = mall::writeTimelineText(merged->csv, *csv); !st) {
            return fail(st.error().message);
        }
        std::printf("合并的时间线已写入 %s\n", csv->c_str());
    }
    return kExitOk;
}

}  // namespace vellicor::cli
