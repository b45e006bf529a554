#include "mall/timeline_recorder.h"

#include <algorithm>

namespace vellicor::mall {

TimelineRecorder::TimelineRecorder(const Clock& clock, std::size_t workers)
    : clock_(&clock),
      system_(dynamic_cast<const SystemClock*>(&clock) != nullptr),
      open_(workers, 0) {
    chunks_.reserve(kMostEntries / kChunk);
    const std::size_t wanted = std::min(kMostEntries, std::max<std::size_t>(1, 2 * workers));
    while (chunks_.size() * kChunk < wanted) {
        grow();
    }
}

bool TimelineRecorder::grow() {
    if (chunks_.size() * kChunk >= kMostEntries) {
        return false;
    }
    chunks_.push_back(std::make_unique<Entry[]>(kChunk));
    return true;
}

void TimelineRecorder::ended(std::size_t worker, OutcomeKind kind, Clock::Steady when,
                             bool sentBefore) {
    std::uint32_t& open = open_[worker];
    if (open == 0) {
        if (sentBefore) {
            return;
        }
        open = take();
        if (open == 0) {
            return;
        }
        at(open - 1).worker = static_cast<std::uint32_t>(worker);
    }
    Entry& e = at(open - 1);
    e.kind = static_cast<std::uint8_t>(kind);
    e.ended = true;
    e.endedAt = when;
    open = 0;
}

}  // namespace vellicor::mall
