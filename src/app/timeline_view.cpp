#include "app/timeline_view.h"

#include <QByteArray>
#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSvgWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>

#include "mall/outcome.h"
#include "platform/qt/basic_controls.h"

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

constexpr int kGap = 8;  // between the main window and the picture's
const QSize kPreferredSize(1040, 640);
// A side with less room than this has none: the picture would be all scroll bars.
const QSize kSmallestSize(320, 240);
// In the redemption bar, between the worker field and 停止背景音乐, as tall as its buttons.
const QRect kReopenButton(544, 8, 56, 32);

// The frame's place beside `main` on `screen`, as large as the room allows up to the
// preferred size: right, else left, else below; none where no side has room.
std::optional<QRect> besideFrame(const QRect& main, const QRect& screen) {
    const int right = screen.right() - main.right() - kGap;
    const int left = main.left() - screen.left() - kGap;
    const int below = screen.bottom() - main.bottom() - kGap;
    const int height = std::min(kPreferredSize.height(), screen.height());
    const int top = std::clamp(main.top(), screen.top(), screen.bottom() + 1 - height);
    if (right >= kSmallestSize.width()) {
        const int width = std::min(kPreferredSize.width(), right);
        return QRect(main.right() + 1 + kGap, top, width, height);
    }
    if (left >= kSmallestSize.width()) {
        const int width = std::min(kPreferredSize.width(), left);
        return QRect(main.left() - kGap - width, top, width, height);
    }
    if (below >= kSmallestSize.height()) {
        const int width = std::min(kPreferredSize.width(), screen.width());
        const int x = std::clamp(main.left(), screen.left(), screen.right() + 1 - width);
        return QRect(x, main.bottom() + 1 + kGap, width, std::min(height, below));
    }
    return std::nullopt;
}

// One window for the pictures, a child of the main one: it goes with it, and never keeps the
// program running after the main window closed. Shown, it leaves the focus where it was: a
// press meant for 兑换 that comes as it opens still reaches 兑换.
class TimelineWindow final : public QDialog {
  public:
    explicit TimelineWindow(QWidget* parent) : QDialog(parent, Qt::Window) {
        setWindowTitle(QStringLiteral("兑换时间线"));
        setWindowModality(Qt::NonModal);
        setAttribute(Qt::WA_QuitOnClose, false);
        setAttribute(Qt::WA_ShowWithoutActivating, true);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        scroll_ = new QScrollArea(this);
        scroll_->setWidgetResizable(false);
        layout->addWidget(scroll_);
    }

    void setPicture(const std::string& svg) {
        auto* picture = new QSvgWidget(scroll_);
        picture->load(QByteArray(svg.data(), static_cast<qsizetype>(svg.size())));
        picture->setFixedSize(picture->sizeHint());
        scroll_->setWidget(picture);  // the earlier run's picture goes
    }

    // Beside the main window where the screen has room; else where it was last (moved there
    // by the user), or the first time the screen's lower right corner, clear of the main
    // window's top where 兑换 is as far as the screen allows.
    void open(const QWidget& main) {
        if (isVisible()) {
            return;
        }
        const QScreen* screen = main.screen();
        const QRect available = screen != nullptr ? screen->availableGeometry() : QRect();
        const QRect frame = main.frameGeometry();
        // Its own frame is not known before it is shown: the main window's is the guess.
        const QMargins margins(
            main.geometry().left() - frame.left(), main.geometry().top() - frame.top(),
            frame.right() - main.geometry().right(), frame.bottom() - main.geometry().bottom());
        if (const auto beside = besideFrame(frame, available)) {
            setGeometry(beside->marginsRemoved(margins));
        } else if (!placed_) {
            QRect corner(QPoint(), kPreferredSize.boundedTo(available.size()));
            corner.moveBottomRight(available.bottomRight());
            setGeometry(corner.marginsRemoved(margins));
        }
        placed_ = true;
        show();
    }

  private:
    QScrollArea* scroll_ = nullptr;
    bool placed_ = false;
};

// A main window's pictures: the window the last run's is shown in and the button that opens
// it again. A child of the main window, found among its children.
class TimelineViewer final : public QObject {
  public:
    static TimelineViewer& of(QWidget& main) {
        for (QObject* child : main.children()) {
            if (auto* viewer = dynamic_cast<TimelineViewer*>(child)) {
                return *viewer;
            }
        }
        return *new TimelineViewer(main);
    }

    void show(const std::string& svg) {
        shownOne_ = true;
        window().setPicture(svg);
        window().open(main_);
        if (button_) {
            button_->setEnabled(true);
        }
    }

    void reopen() {
        if (shownOne_) {
            window().open(main_);
        }
    }

    void setButton(QPushButton* button) {
        button_ = button;
        button_->setEnabled(shownOne_);
        connect(button, &QPushButton::clicked, this, [this] { reopen(); });
    }

  private:
    explicit TimelineViewer(QWidget& main) : QObject(&main), main_(main) {}

    TimelineWindow& window() {
        if (!shown_) {
            shown_ = new TimelineWindow(&main_);
        }
        return *shown_;
    }

    QWidget& main_;
    bool shownOne_ = false;
    QPointer<TimelineWindow> shown_;
    QPointer<QPushButton> button_;
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
    if (svg.empty() || window == nullptr) {
        return;
    }
    TimelineViewer::of(*window).show(svg);
}

QPushButton* addTimelineButton(QWidget* window) {
    auto* button = new ui::Button(window);
    button->setText(QStringLiteral("时间线"));
    button->setToolTip(QStringLiteral("再次显示上次兑换的时间线"));
    button->setGeometry(kReopenButton);
    TimelineViewer::of(*window).setButton(button);
    return button;
}

}  // namespace vellicor::app
