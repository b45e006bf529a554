#include "app/timeline_view.h"

#include <QByteArray>
#include <QDialog>
#include <QPointer>
#include <QScrollArea>
#include <QSvgWidget>
#include <QVBoxLayout>

#include "mall/outcome.h"

namespace vellicor::app {
namespace {

// "12:00:00.004" -> "120000".
std::string compactTime(const std::string& timeOfDay) {
    std::string digits;
    for (char c : timeOfDay.substr(0, 8)) {
        if (c != ':') {
            digits += c;
        }
    }
    return digits;
}

// One window for the pictures, a child of the main one: it goes with it, and never keeps the
// program running after the main window closed.
class TimelineWindow final : public QDialog {
  public:
    explicit TimelineWindow(QWidget* parent) : QDialog(parent, Qt::Window) {
        setWindowTitle(QStringLiteral("兑换时间线"));
        setAttribute(Qt::WA_QuitOnClose, false);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        scroll_ = new QScrollArea(this);
        scroll_->setWidgetResizable(false);
        layout->addWidget(scroll_);
        resize(1040, 640);
    }

    void showPicture(const std::string& svg) {
        auto* picture = new QSvgWidget(scroll_);
        picture->load(QByteArray(svg.data(), static_cast<qsizetype>(svg.size())));
        picture->setFixedSize(picture->sizeHint());
        scroll_->setWidget(picture);  // the earlier run's picture goes
        setWindowModality(Qt::NonModal);
        setAttribute(Qt::WA_ShowWithoutActivating, isHidden());
        QDialog::show();
    }

  private:
    QScrollArea* scroll_ = nullptr;
};

}  // namespace

TimelineFiles timelineFilesBeside(const std::string& logPath, const Clock& clock) {
    std::string base = logPath;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".log") == 0) {
        base.resize(base.size() - 4);
    }
    base += "-" + compactTime(mall::localTimeOfDay(clock)) + "-timeline";
    return {base + ".svg", base + ".csv"};
}

Result<TimelineFiles> saveTimeline(const mall::Timeline& timeline, const std::string& svg,
                                   const std::string& logPath, const Clock& clock) {
    TimelineFiles files = timelineFilesBeside(logPath, clock);
    if (auto written = mall::writeTimelineText(svg, files.svg); !written) {
        return written.error();
    }
    if (auto written = mall::writeTimeline(timeline, files.csv); !written) {
        return written.error();
    }
    return files;
}

void showTimeline(const std::string& svg, QWidget* window) {
    static QPointer<TimelineWindow> shown;
    if (svg.empty() || window == nullptr) {
        return;
    }
    if (!shown || shown->parent() != window) {
        delete shown.data();
        shown = new TimelineWindow(window);
    }
    shown->showPicture(svg);
}

}  // namespace vellicor::app
