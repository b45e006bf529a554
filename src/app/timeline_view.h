#pragma once
// The picture of a run in the window: saved beside the day's log as an image and as CSV (and
// removed with that day's log, app/log_file.h), and shown in a window of its own next to the
// main one, replaced by each later run's.

#include <string>

#include "mall/timeline.h"
#include "platform/clock.h"
#include "platform/result.h"

class QPushButton;
class QWidget;

namespace vellicor::app {

struct TimelineFiles {
    std::string svg;
    std::string csv;
};

// "<folder>/vellicor-2026-03-01-120000-timeline.svg" and ".csv" beside the log file
// "<folder>/vellicor-2026-03-01.log", for a run that ended at 12:00:00 local time.
TimelineFiles timelineFilesBeside(const std::string& logPath, const Clock& clock);

// Writes both, the picture being the timeline's `svg` made already; the error names the file
// that could not be written. Any thread.
Result<TimelineFiles> saveTimeline(const mall::Timeline& timeline, const std::string& svg,
                                   const std::string& logPath, const Clock& clock);

// Shows the picture (timelineSvg's text) in a window of its own that goes with `window` (the
// window's thread only); without a window (a controller under a view of plain controls) or a
// picture nothing is shown. The picture's window opens beside the main window where the screen
// has room for it (right, else left, else below), else where the user last put it; it never
// takes the focus from the main window. Open already, it keeps its place and shows the new
// picture.
void showTimeline(const std::string& svg, QWidget* window);

// 时间线: a button in the main window's redemption bar that opens the last run's picture again
// after it was closed; disabled until a run has shown one. Owned by `window`.
QPushButton* addTimelineButton(QWidget* window);

}  // namespace vellicor::app
