// The run's timeline, made from what the engine recorded once the run has ended.
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "mall/engine.h"
#include "mall/timeline.h"

namespace vellicor::mall {
namespace {

// The picture's machine by default, for the window's runs as for the command's: pictures of
// several computers merged later are told apart by it.
std::string hostName() {
    char host[256] = {};
    return gethostname(host, sizeof host - 1) == 0 ? std::string(host) : std::string();
}

}  // namespace

std::shared_ptr<const Timeline> Engine::makeTimeline() const {
    auto t = std::make_shared<Timeline>();
    const bool several = s_.plan.namedAccounts;
    for (const web::Account& account : accounts_) {
        for (const Item* item : s_.plan.items) {
            t->lanes.push_back({several ? account.name : std::string(), std::string(item->id),
                                std::string(item->caption), std::nullopt});
        }
    }
    Clock::Steady origin = firstSend_ != Clock::Steady{} ? firstSend_ : started_;
    if (s_.options.fireAt) {
        const TimelineFrame frame = s_.options.timelineFrame.value_or(TimelineFrame{});
        origin = fireAt() - frame.fireAfterOpening;
        t->origin = frame.onMallClock ? TimelineOrigin::MallOpening : TimelineOrigin::LocalOpening;
        t->reach = frame.onMallClock ? frame.reach : std::nullopt;
        t->opening = frame.opening;
    }
    const TimelineRecorder& recorded = *timeline_;
    t->rows.reserve(recorded.size());
    for (std::size_t k = 0; k < recorded.size(); ++k) {
        const TimelineRecorder::Entry& e = recorded.entry(k);
        const Worker& w = workers_.at(e.worker);
        TimelineRow row;
        row.lane = static_cast<std::uint32_t>(w.slot);
        row.worker = w.number;
        row.attempt = static_cast<int>(e.attempt);
        if (e.hasLeft) {
            row.left = e.left - origin;
        }
        if (e.ended) {
            row.answered = e.endedAt - origin;
            row.kind = static_cast<OutcomeKind>(e.kind);
        }
        t->rows.push_back(row);
    }
    std::stable_sort(t->rows.begin(), t->rows.end(), [](const auto& a, const auto& b) {
        return std::tie(a.lane, a.worker, a.attempt) < std::tie(b.lane, b.worker, b.attempt);
    });
    t->unrecorded = recorded.dropped();
    t->machine = hostName();
    return t;
}

}  // namespace vellicor::mall
