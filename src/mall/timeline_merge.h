#pragma once
// One picture of several machines' runs at the same opening: each machine aims at the mall's
// own clock, so their CSV files, read back, share time 0 and can be laid side by side, a lane
// per machine, to see which of them reached the mall first.

#include <string>
#include <vector>

#include "mall/timeline.h"
#include "platform/result.h"

namespace vellicor::mall {

struct TimelineFile {
    std::string path;  // named by every refusal
    std::string text;  // as timelineCsv wrote it
};

struct MergedTimeline {
    Timeline picture;  // a lane per machine, the first to reach the mall first
    std::string csv;   // every file's rows under the one header
    // A line per machine in the lanes' order: when its first request reached the mall (or
    // left, without an estimate), how many it sent and won.
    std::vector<std::string> lines;
};

// Refused, naming the file: a file not in the CSV format, or without a row, or whose opening,
// frame or machine name does not fit the others (two machines of one name could not be told
// apart; runs of different openings or frames share no time 0).
Result<MergedTimeline> mergeTimelines(const std::vector<TimelineFile>& files);

// The merged picture as an SVG image.
std::string mergedTimelineSvg(const MergedTimeline& merged);

}  // namespace vellicor::mall
