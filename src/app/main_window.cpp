#include "app/main_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QStyleHints>
#include <QThread>
#include <QWindow>
#include <algorithm>

#include "app/app_icon.h"
#include "app/fit_text.h"
#include "app/link_panel.h"
#include "app/log_file.h"
#include "app/log_relay.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/html_viewer.h"
#include "platform/qt/process_bar.h"
#include "platform/qt/simple_html.h"
#include "platform/qt/timer.h"
#include "platform/runtime.h"
#include "schedule/time_of_day.h"

namespace vellicor::app {

namespace {

// The smallest client area that still holds every control of the form.
constexpr QSize kContentExtent{904, 520};

QColor colourOf(Rgb rgb) {
    return QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>(rgb & 0xFF));
}

Qt::Alignment alignmentOf(Align align) {
    switch (align) {
        case Align::Centre:
            return Qt::AlignHCenter;
        case Align::Right:
            return Qt::AlignRight;
        default:
            return Qt::AlignLeft;
    }
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

ui::InputMode inputModeOf(EditMode mode) {
    switch (mode) {
        case EditMode::ReadOnly:
            return ui::InputMode::ReadOnly;
        case EditMode::Password:
            return ui::InputMode::Password;
        case EditMode::DigitsOnly:
            return ui::InputMode::DigitsOnly;
        default:
            return ui::InputMode::Normal;
    }
}

QWidget* makeButton(const ControlSpec& spec, QWidget* parent) {
    auto* button = new ui::Button(parent);
    button->setCaption(qs(spec.text));
    if (spec.boldFont) {
        QFont font(QStringLiteral("宋体"));
        font.setPixelSize(12);
        font.setBold(true);
        font.setStyleStrategy(QFont::PreferQuality);
        button->setFont(font);
    }
    return button;
}

QWidget* makeEdit(const ControlSpec& spec, QWidget* parent) {
    ui::EditBoxOptions options;
    options.multiLine = spec.multiLine;
    options.mode = inputModeOf(spec.mode);
    options.maxLength = spec.maxLength;
    options.alignment = alignmentOf(spec.align);
    options.sunken = spec.sunken;
    auto* box = new ui::EditBox(options, parent);
    box->setContent(qs(spec.text));
    return box;
}

QWidget* makeCheck(const ControlSpec& spec, QWidget* parent) {
    auto* check = new ui::CheckBox(parent);
    check->setCaption(qs(spec.text));
    ui::setTextColor(check, colourOf(spec.color));
    return check;
}

QWidget* makeGroup(const ControlSpec& spec, QWidget* parent) {
    auto* group = new ui::GroupBox(parent);
    group->setCaption(qs(spec.text));
    group->setCaptionColor(colourOf(spec.color));
    group->setCaptionAlignment(alignmentOf(spec.align));
    return group;
}

QWidget* makeLabel(const ControlSpec& spec, QWidget* parent) {
    auto* label = new ui::Label(parent);
    label->setCaption(qs(spec.text));
    label->setWordWrap(spec.wordWrap);
    ui::setTextColor(label, colourOf(spec.color));
    return label;
}

QWidget* makeBar(const ControlSpec& spec, QWidget* parent) {
    auto* bar = new ui::ProcessBar(parent);
    bar->setVertical(true);
    bar->setMinimumValue(spec.rangeMin);
    bar->setMaximumValue(spec.rangeMax);
    bar->setPosition(spec.position);
    return bar;
}

QWidget* makePane(QWidget* parent) {
    auto* pane = new ui::HtmlViewer(parent);
    pane->setOffline(false);
    pane->setSilent(true);
    pane->setFontSize(2);
    return pane;
}

}  // namespace

std::unique_ptr<MainWindow> MainWindow::create(AppContext& context) {
    std::unique_ptr<MainWindow> window(new MainWindow(context));
    if (!window->build()) {
        return nullptr;
    }
    return window;
}

MainWindow::MainWindow(AppContext& context) : QWidget(nullptr), context_(context) {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(qs(formWindow().title));
    setWindowIcon(appIcon());
    move(formWindow().storedLeft, formWindow().storedTop);
    applyOuterSize();
    installEventFilter(this);
    systemMove_ = [this] { return windowHandle() != nullptr && windowHandle()->startSystemMove(); };
}

MainWindow::~MainWindow() {
    shutDown();
    events_ = {};  // no controller hears of anything while the window comes apart
    if (logFile_ != nullptr) {
        logFile_->setOnTrouble({});  // no notice reaches the relay from here on
    }
    if (relay_) {
        relay_->detach();
    }
}

bool MainWindow::build() {
    for (const ControlSpec& spec : formControls()) {
        QWidget* parent = this;
        if (!spec.parent.empty()) {
            parent = control<QWidget>(spec.parent);
        }
        if (parent == nullptr || controls_.count(spec.name) != 0) {
            return false;
        }
        QObject* made = makeControl(spec, parent);
        made->setObjectName(qs(spec.name));
        controls_[spec.name] = made;
        order_.push_back(spec.name);
    }
    if (!bindView()) {
        return false;
    }
    logBox()->setMaxLines(context_.config.log.maxLines);
    if (!context_.dataFolder.empty()) {
        logFile_ = std::make_shared<LogFile>(context_.dataFolder, *context_.clock,
                                             context_.config.log.keepDays);
        // A file the writer cannot write is never named as the whole log.
        context_.logFilePath = [file = std::weak_ptr<LogFile>(logFile_)] {
            const auto alive = file.lock();
            return alive && alive->writing() ? alive->currentPath() : std::string();
        };
    }
    relay_ = std::make_shared<LogRelay>(logBox(), logFile_.get(),
                                        static_cast<std::size_t>(context_.config.log.maxLines));
    context_.log = [relay = relay_](const std::string& text) { relay->append(text); };
    if (logFile_ != nullptr) {
        logFile_->setOnTrouble([relay = std::weak_ptr<LogRelay>(relay_)](const std::string& text) {
            if (const auto alive = relay.lock()) {
                alive->append(text);
            }
        });
    }
    context_.afterLogShown = [relay = relay_](std::function<void()> then) {
        relay->afterShown(std::move(then));
    };
    connectEvents();
    return true;
}

QObject* MainWindow::makeControl(const ControlSpec& spec, QWidget* parent) {
    if (spec.kind == ControlKind::Timer) {
        auto* timer = new ui::Timer(parent);
        timer->setPeriod(spec.period);
        const Geometry& g = spec.geometry;
        timer->setGeometry(QRect(g.left, g.top, g.width, g.height));
        return timer;
    }
    QWidget* widget = nullptr;
    switch (spec.kind) {
        case ControlKind::Button:
            widget = makeButton(spec, parent);
            break;
        case ControlKind::EditBox:
            widget = makeEdit(spec, parent);
            break;
        case ControlKind::CheckBox:
            widget = makeCheck(spec, parent);
            break;
        case ControlKind::GroupBox:
            widget = makeGroup(spec, parent);
            break;
        case ControlKind::Label:
            widget = makeLabel(spec, parent);
            break;
        case ControlKind::ProcessBar:
            widget = makeBar(spec, parent);
            break;
        case ControlKind::HtmlViewer:
            widget = makePane(parent);
            break;
        default: {
            auto* panel = new ui::SimpleHtml(parent);
            panel->setBackground(colourOf(spec.background));
            panel->setStyleSheetText(qs(linkPanelStyleSheet()));
            panel->setMarkup(qs(linkPanelHtml(context_.config)));
            panel->setUrlOpener(context_.urlOpener);
            widget = panel;
        }
    }
    const Geometry& g = spec.geometry;
    widget->setGeometry(g.left, g.top, g.width, g.height);
    fitCaption(*widget);
    widget->setEnabled(spec.enabled);
    widget->setVisible(spec.visible);
    const bool draggable = spec.kind == ControlKind::Label || spec.kind == ControlKind::GroupBox ||
                           spec.kind == ControlKind::ProcessBar;
    if (draggable) {
        widget->installEventFilter(this);
    }
    return widget;
}

void MainWindow::connectEvents() {
    const std::pair<const char*, Event<>*> clicks[] = {
        {formName::按钮1, &events_.exchangeClicked},
        {formName::按钮2, &events_.reloginClicked},
        {formName::按钮3, &events_.loginModeClicked},
        {formName::按钮4, &events_.loginClicked},
        {formName::按钮5, &events_.stopMusicClicked},
        {formName::按钮6, &events_.usageRecordClicked},
        {formName::按钮7, &events_.signInClicked},
        {formName::按钮8, &events_.signInRefreshClicked},
        {formName::按钮9, &events_.armTimerClicked},
    };
    for (const auto& [name, event] : clicks) {
        connect(control<ui::Button>(name), &QPushButton::clicked, this,
                [event = event] { event->dispatch(); });
    }
    for (const TimeField which : {TimeField::Hour, TimeField::Minute, TimeField::Second}) {
        connect(&timeField(which), &ui::EditBox::contentChanged, this,
                [this, which] { events_.timeFieldEdited.dispatch(which); });
    }
    connect(control<ui::Timer>(formName::时钟1), &ui::Timer::ticked, this, [this] {
        showClock();
        events_.secondTicked.dispatch();
    });
    connect(control<ui::Timer>(formName::时钟2), &ui::Timer::ticked, this,
            [this] { events_.countdownTicked.dispatch(); });
    for (const char* name : {formName::超文本浏览框1, formName::超文本浏览框2}) {
        connect(control<ui::HtmlViewer>(name), &ui::HtmlViewer::navigated, this,
                [this, pane = panes_.at(name).get()](const QString& address) {
                    events_.loginPaneNavigated.dispatch(*pane, address.toStdString());
                });
    }
    connect(control<ui::HtmlViewer>(formName::超文本浏览框3), &ui::HtmlViewer::documentReady, this,
            [this](const QString& address) {
                events_.signInDocumentReady.dispatch(address.toStdString());
            });
    connect(control<ui::SimpleHtml>(formName::简单超文本框1), &ui::SimpleHtml::linkClicked, this,
            [this](const QString& text) { events_.linkClicked.dispatch(text.toStdString()); });
}

void MainWindow::start() {
    // The created event: title first, then every subsystem's start-up.
    setWindowTitle(qs(mainWindowTitle()));
    events_.started.dispatch();
    centreOnScreen();
    show();
}

QObject* MainWindow::object(const std::string& name) const {
    const auto it = controls_.find(name);
    return it == controls_.end() ? nullptr : it->second;
}

std::vector<std::string> MainWindow::controlNames() const {
    return order_;
}

ui::EditBox* MainWindow::logBox() const {
    return control<ui::EditBox>(formName::编辑框3);
}

QSize MainWindow::outerSize() {
    return {formWindow().outerWidth, formWindow().outerHeight};
}

// The form gives the outer size, frame and title bar included. The client area is what is
// left once the window system's frame is known; before that (and without a window manager)
// the frame counts as nothing. It never shrinks below what the controls need.
void MainWindow::applyOuterSize() {
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize client = (outerSize() - frame).expandedTo(kContentExtent);
    setFixedSize(client);
}

void MainWindow::centreOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QRect full = screen->geometry();
    move(full.left() + (full.width() - outerSize().width()) / 2,
         full.top() + (full.height() - outerSize().height()) / 2);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    applyOuterSize();
}

void MainWindow::showClock() {
    // Beijing time, as the set time and the countdown: the mall's zone, not the computer's.
    const auto now = schedule::beijingTimeOfDay(context_.clock->wallNow());
    control<ui::GroupBox>(formName::分组框9)
        ->setCaption(qs(timerGroupCaption(schedule::formatTimeOfDay(now))));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    shutDown();
    event->accept();
}

void MainWindow::shutDown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    events_.closing.dispatch();
    // What the controllers' threads logged on their way out (a stopped run's summary) still
    // reaches the file, which writes what it was given before it closes.
    if (relay_) {
        relay_->flush();
    }
    for (const char* name : {formName::时钟1, formName::时钟2}) {
        if (auto* timer = control<ui::Timer>(name)) {
            timer->setPeriod(0);
        }
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    const bool ours = watched == this || qobject_cast<ui::Label*>(watched) != nullptr ||
                      qobject_cast<ui::GroupBox*>(watched) != nullptr ||
                      qobject_cast<ui::ProcessBar*>(watched) != nullptr;
    if (ours && dragEvent(static_cast<QWidget*>(watched), event)) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// Drag-anywhere: a left press on the background, a label, a group box or a progress bar
// moves the window as the title bar would. The drag begins only once the pointer has moved
// with the button held: a window system asked to move the window after a quick tap has
// already seen the button go up, and would leave the window following the pointer until the
// next click. It does the move where it can; otherwise the window follows the pointer itself.
bool MainWindow::dragEvent(QWidget* target, QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove &&
        type != QEvent::MouseButtonRelease) {
        return false;
    }
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint global = mouse->globalPosition().toPoint();
    if (type == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton) {
        // A press that a control let pass on to its parent (a check box's empty part, an
        // edit box's frame) does not count: only one on the target itself.
        if (target->childAt(mouse->position().toPoint()) != nullptr) {
            return false;
        }
        drag_ = Drag::Pressed;
        pressedAt_ = global;
        dragOffset_ = global - frameGeometry().topLeft();
        return true;
    }
    if (type == QEvent::MouseMove && drag_ != Drag::None) {
        if (!(mouse->buttons() & Qt::LeftButton)) {
            drag_ = Drag::None;  // the release went elsewhere
            return false;
        }
        followPointer(global);
        return true;
    }
    if (type == QEvent::MouseButtonRelease && drag_ != Drag::None) {
        drag_ = Drag::None;
        return true;
    }
    return false;
}

void MainWindow::followPointer(QPoint global) {
    if (drag_ == Drag::Pressed) {
        const int threshold = QGuiApplication::styleHints()->startDragDistance();
        if ((global - pressedAt_).manhattanLength() < threshold) {
            return;
        }
        drag_ = Drag::Following;
        if (systemMove_()) {
            drag_ = Drag::None;  // the window system has the pointer now
            return;
        }
    }
    move(global - dragOffset_);
}

void MainWindow::setSystemMove(std::function<bool()> start) {
    systemMove_ = std::move(start);
}

}  // namespace vellicor::app
