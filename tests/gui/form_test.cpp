// The window against its form: every control's kind, parent, place, state, caption and
// colour, the catalogue's items in their boxes, then the window's own properties, the drag-anywhere
// rule, keys and the dispatch of events to the subsystems' controllers.

#include <QCheckBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <functional>
#include <map>
#include <set>

#include "app/link_panel.h"
#include "app/main_window.h"
#include "doubles.h"
#include "gui_test_main.h"
#include "mall/catalogue.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/html_viewer.h"
#include "platform/qt/process_bar.h"
#include "platform/qt/simple_html.h"
#include "platform/qt/timer.h"

using namespace vellicor;
using namespace vellicor::app;

namespace {

// Typed from the form's description, independently of app/form.cpp.
struct Expected {
    const char* name;
    const char* kind;
    const char* parent;  // "" for the main window
    int x, y, w, h;
    bool shown;
    bool enabled;
    const char* caption;  // nullptr where the kind has none to compare
    unsigned colour;      // text or caption colour; panel: background
};

constexpr unsigned B = 0x000000;
constexpr unsigned GAME = 0xFF5080;
constexpr unsigned BLUE = 0x0000FF;
constexpr unsigned RED = 0xFF0000;

// The item boxes and the games' captions are the catalogue's; the test below checks them.

const Expected kForm[] = {
    {"超文本浏览框1", "HtmlViewer", "", 8, 8, 280, 184, true, true, nullptr, B},
    {"超文本浏览框2", "HtmlViewer", "", 9, 8, 280, 184, false, true, nullptr, B},
    {"标签1", "Label", "", 24, 40, 80, 55, false, true, "QQ帐号 :\r\n\r\n\r\nQQ密码 :", B},
    {"编辑框1", "EditBox", "", 137, 40, 80, 20, false, true, "", B},
    {"编辑框2", "EditBox", "", 137, 72, 80, 20, false, true, "", B},
    {"按钮4", "Button", "", 97, 144, 80, 32, false, true, "登录", B},
    {"按钮2", "Button", "", 14, 214, 80, 32, true, true, "重新登录", B},
    {"按钮3", "Button", "", 110, 214, 80, 32, true, true, "登录方式二", B},
    {"按钮6", "Button", "", 206, 214, 80, 32, true, true, "游票使用记录", B},
    {"时钟1", "Timer", "", 32, 248, 26, 26, true, true, nullptr, B},
    {"简单超文本框1", "SimpleHtml", "", 14, 283, 268, 112, true, true, nullptr, 0xFF8000},
    {"编辑框3", "EditBox", "", 8, 414, 552, 106, true, true, nullptr, B},
    {"按钮1", "Button", "", 304, 8, 80, 32, true, true, "兑换", B},
    {"标签2", "Label", "", 401, 12, 87, 24, true, true, "线程(默认即可)", B},
    {"编辑框4", "EditBox", "", 496, 8, 40, 32, true, true, "100", B},
    {"按钮5", "Button", "", 608, 8, 88, 32, true, true, "停止背景音乐", B},
    {"分组框1", "GroupBox", "", 304, 48, 136, 216, true, true, nullptr, GAME},
    {"分组框2", "GroupBox", "", 438, 48, 176, 216, true, true, nullptr, GAME},
    {"分组框3", "GroupBox", "", 612, 48, 150, 216, true, true, nullptr, GAME},
    {"分组框4", "GroupBox", "", 760, 48, 144, 216, true, true, nullptr, GAME},
    {"分组框5", "GroupBox", "", 304, 264, 136, 144, true, true, nullptr, GAME},
    {"分组框6", "GroupBox", "", 438, 264, 120, 144, true, true, nullptr, GAME},
    {"分组框7", "GroupBox", "", 548, 264, 145, 144, true, true, nullptr, GAME},
    {"分组框8", "GroupBox", "", 691, 264, 213, 144, true, true, "签到", 0xFF8000},
    {"标签3", "Label", "分组框8", 16, 8, 150, 24, true, true, "CF  未签到", BLUE},
    {"标签4", "Label", "分组框8", 16, 26, 150, 24, true, true, "LOL  未签到", BLUE},
    {"标签5", "Label", "分组框8", 16, 44, 150, 24, true, true, "BNS  未签到", BLUE},
    {"标签6", "Label", "分组框8", 16, 62, 150, 24, true, true, "DNF  未签到", BLUE},
    {"标签7", "Label", "分组框8", 16, 80, 150, 24, true, true, "Speed  未签到", BLUE},
    {"标签8", "Label", "分组框8", 16, 98, 150, 24, true, true, "X5  未签到", BLUE},
    {"标签9", "Label", "分组框8", 16, 116, 150, 24, true, true, "NZ  未签到", BLUE},
    {"按钮8", "Button", "分组框8", 173, 35, 32, 32, true, false, "刷", B},
    {"按钮7", "Button", "分组框8", 173, 87, 32, 32, true, false, "签", B},
    {"超文本浏览框3", "HtmlViewer", "分组框8", 101, 80, 64, 52, false, true, nullptr, B},
    {"分组框9", "GroupBox", "", 568, 410, 336, 108, true, true, "定时系统", 0x9000FF},
    {"编辑框5", "EditBox", "分组框9", 16, 22, 32, 20, true, true, "11", B},
    {"编辑框6", "EditBox", "分组框9", 47, 22, 32, 20, true, true, "59", B},
    {"编辑框7", "EditBox", "分组框9", 78, 22, 32, 20, true, true, "59", B},
    {"进度条1", "ProcessBar", "分组框9", 16, 46, 32, 53, true, true, nullptr, B},
    {"进度条2", "ProcessBar", "分组框9", 47, 46, 32, 53, true, true, nullptr, B},
    {"进度条3", "ProcessBar", "分组框9", 78, 46, 32, 53, true, true, nullptr, B},
    {"按钮9", "Button", "分组框9", 152, 38, 40, 40, true, true, "定", B},
    {"标签10", "Label", "分组框9", 224, 30, 64, 24, true, true, "未定时", B},
    {"标签11", "Label", "分组框9", 224, 56, 64, 24, true, true, "剩余时间", B},
    {"时钟2", "Timer", "分组框9", 120, 14, 26, 26, true, true, nullptr, B},
};

QString q(const char* text) {
    return QString::fromUtf8(text);
}
unsigned rgb(const QColor& c) {
    return static_cast<unsigned>(c.rgb()) & 0xFFFFFF;
}

// Caption (or content) and colour of a control as the logic would read them.
struct Reading {
    QString caption;
    unsigned colour = 0;
};

std::optional<Reading> read(QObject* object, const QString& kind) {
    using namespace vellicor::ui;
    const std::map<QString, std::function<std::optional<Reading>(QObject*)>> readers = {
        {"Button",
         [](QObject* o) -> std::optional<Reading> {
             auto* b = qobject_cast<Button*>(o);
             if (!b)
                 return std::nullopt;
             return Reading{b->caption(),
                            rgb(b->palette().color(QPalette::Active, QPalette::ButtonText))};
         }},
        {"Label",
         [](QObject* o) -> std::optional<Reading> {
             auto* l = qobject_cast<Label*>(o);
             if (!l)
                 return std::nullopt;
             return Reading{l->caption(),
                            rgb(l->palette().color(QPalette::Active, QPalette::WindowText))};
         }},
        {"CheckBox",
         [](QObject* o) -> std::optional<Reading> {
             auto* c = qobject_cast<CheckBox*>(o);
             if (!c)
                 return std::nullopt;
             return Reading{c->caption(),
                            rgb(c->palette().color(QPalette::Active, QPalette::WindowText))};
         }},
        {"GroupBox",
         [](QObject* o) -> std::optional<Reading> {
             auto* g = qobject_cast<GroupBox*>(o);
             if (!g)
                 return std::nullopt;
             return Reading{g->caption(), rgb(g->captionColor())};
         }},
        {"EditBox",
         [](QObject* o) -> std::optional<Reading> {
             auto* e = qobject_cast<EditBox*>(o);
             if (!e)
                 return std::nullopt;
             return Reading{e->content(),
                            rgb(e->editor()->palette().color(QPalette::Active, QPalette::Text))};
         }},
        {"ProcessBar",
         [](QObject* o) -> std::optional<Reading> {
             if (!qobject_cast<ProcessBar*>(o))
                 return std::nullopt;
             return Reading{};
         }},
        {"Timer",
         [](QObject* o) -> std::optional<Reading> {
             if (!qobject_cast<Timer*>(o))
                 return std::nullopt;
             return Reading{};
         }},
        {"HtmlViewer",
         [](QObject* o) -> std::optional<Reading> {
             if (!qobject_cast<HtmlViewer*>(o))
                 return std::nullopt;
             return Reading{};
         }},
        {"SimpleHtml",
         [](QObject* o) -> std::optional<Reading> {
             auto* s = qobject_cast<SimpleHtml*>(o);
             if (!s)
                 return std::nullopt;
             return Reading{{}, rgb(s->palette().color(QPalette::Active, QPalette::Base))};
         }},
    };
    return readers.at(kind)(object);
}

QRect placeOf(QObject* object) {
    if (auto* timer = qobject_cast<ui::Timer*>(object)) {
        return timer->geometry();
    }
    return qobject_cast<QWidget*>(object)->geometry();
}

// Records which event the window sent, by name; calls outlives the window.
void record(WindowEvents& events, QStringList& calls) {
    const std::pair<Event<>*, const char*> plain[] = {
        {&events.started, "started"},
        {&events.closing, "closing"},
        {&events.exchangeClicked, "exchange"},
        {&events.reloginClicked, "relogin"},
        {&events.loginModeClicked, "loginMode"},
        {&events.loginClicked, "login"},
        {&events.stopMusicClicked, "stopMusic"},
        {&events.usageRecordClicked, "usageRecord"},
        {&events.signInClicked, "signIn"},
        {&events.signInRefreshClicked, "signInRefresh"},
        {&events.armTimerClicked, "armTimer"},
    };
    for (const auto& [event, name] : plain) {
        event->subscribe([&calls, name = name] { calls << name; });
    }
    events.timeFieldEdited.subscribe(
        [&calls](TimeField f) { calls << QString("field%1").arg(int(f)); });
    events.linkClicked.subscribe(
        [&calls](const std::string& text) { calls << "link:" + QString::fromStdString(text); });
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint local, Qt::MouseButtons buttons) {
    const QPointF global = target->mapToGlobal(QPointF(local));
    QMouseEvent event(type, QPointF(local), global,
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

}  // namespace

class FormTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        context_.config = Config::defaults();
        context_.urlOpener = &opener_;
        window_ = MainWindow::create(context_);
        QVERIFY(window_);
        record(window_->events(), calls_);
        window_->start();
        QCOMPARE(calls_, QStringList{"started"});  // the created event, once
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }
    void cleanupTestCase() { window_.reset(); }

    void everyControlMatchesTheForm() {
        QCOMPARE(window_->controlNames().size(), std::size(kForm) + mall::items().size());
        for (const Expected& e : kForm) {
            const QString name = q(e.name);
            QObject* object = window_->object(e.name);
            QVERIFY2(object != nullptr, e.name);
            const auto reading = read(object, q(e.kind));
            QVERIFY2(reading.has_value(), e.name);
            QCOMPARE(placeOf(object), QRect(e.x, e.y, e.w, e.h));
            if (auto* widget = qobject_cast<QWidget*>(object)) {
                QWidget* parent =
                    *e.parent ? qobject_cast<QWidget*>(window_->object(e.parent)) : window_.get();
                QVERIFY2(widget->parentWidget() == parent, e.name);
                QVERIFY2(widget->isHidden() != e.shown, e.name);
                QVERIFY2(widget->isEnabled() == e.enabled, e.name);
            } else {
                const QObject* expected =
                    *e.parent ? window_->object(e.parent) : static_cast<QObject*>(window_.get());
                QVERIFY2(object->parent() == expected, e.name);
            }
            if (e.caption != nullptr) {
                QCOMPARE(reading->caption, q(e.caption));
            }
            if (q(e.kind) != "Timer" && q(e.kind) != "ProcessBar" && q(e.kind) != "HtmlViewer") {
                QVERIFY2(reading->colour == e.colour, e.name);
            }
        }
    }

    // Each catalogue item has one box, in its game's group, showing its caption (red for a
    // draw), unticked, and greyed when it is not on offer; the boxes of a group stand in a
    // column without overlapping, and no box shows anything else.
    void everyCatalogueItemHasItsBox() {
        std::set<QObject*> boxes;
        std::map<QWidget*, std::vector<QRect>> columns;
        for (const mall::Item& item : mall::items()) {
            const char* id = item.id.data();
            ui::CheckBox* box = window_->itemBox(item);
            QVERIFY2(box != nullptr, id);
            QVERIFY2(boxes.insert(box).second, id);
            QCOMPARE(box->caption(), QString::fromUtf8(item.caption.data(), item.caption.size()));
            const unsigned colour =
                rgb(box->palette().color(QPalette::Active, QPalette::WindowText));
            QVERIFY2(colour == (item.lottery ? RED : B), id);
            QVERIFY2(box->isEnabled() == item.enabled, id);
            QVERIFY2(!box->checked(), id);
            QWidget* group = window_->gameGroup(mall::gameOf(item));
            QVERIFY2(box->parentWidget() == group, id);
            QVERIFY2(QRect(QPoint(), group->size()).contains(box->geometry()), id);
            QCOMPARE(box->geometry().left(), 8);
            QCOMPARE(box->geometry().height(), 24);
            for (const QRect& other : columns[group]) {
                QVERIFY2(!other.intersects(box->geometry()), id);
            }
            columns[group].push_back(box->geometry());
        }
        std::size_t checkBoxes = 0;
        for (const std::string& name : window_->controlNames()) {
            checkBoxes += window_->control<ui::CheckBox>(name) != nullptr ? 1 : 0;
        }
        QCOMPARE(checkBoxes, boxes.size());
        for (const mall::Game& game : mall::games()) {
            ui::GroupBox* group = window_->gameGroup(game);
            QVERIFY2(group != nullptr, game.tag.data());
            QCOMPARE(group->caption(), QString::fromUtf8(game.caption.data(), game.caption.size()));
        }
    }

    void kindSettings() {
        using ui::InputMode;
        const std::tuple<const char*, InputMode, int, bool> edits[] = {
            {"编辑框1", InputMode::Normal, 0, false},
            {"编辑框2", InputMode::Password, 0, false},
            {"编辑框3", InputMode::ReadOnly, 0, true},
            {"编辑框4", InputMode::DigitsOnly, 0, false},
            {"编辑框5", InputMode::DigitsOnly, 2, false},
            {"编辑框6", InputMode::DigitsOnly, 2, false},
            {"编辑框7", InputMode::DigitsOnly, 2, false},
        };
        for (const auto& [name, mode, max, multi] : edits) {
            auto* box = window_->control<ui::EditBox>(name);
            QVERIFY2(box->inputMode() == mode, name);
            QCOMPARE(box->maxLength(), max);
            QCOMPARE(box->multiLine(), multi);
        }
        QCOMPARE(window_->logBox()->content(), QString::fromStdString(noticeText() + "\r\n"));

        const std::tuple<const char*, int, int> bars[] = {
            {"进度条1", 0, 12}, {"进度条2", 0, 59}, {"进度条3", 0, 59}};
        for (const auto& [name, min, max] : bars) {
            auto* bar = window_->control<ui::ProcessBar>(name);
            QCOMPARE(bar->minimumValue(), min);
            QCOMPARE(bar->maximumValue(), max);
            QCOMPARE(bar->position(), 0);
            QVERIFY(bar->vertical());
        }
        QCOMPARE(window_->control<ui::Timer>("时钟1")->period(), 1000);
        QVERIFY(window_->control<ui::Timer>("时钟1")->running());
        QCOMPARE(window_->control<ui::Timer>("时钟2")->period(), 0);
        QVERIFY(!window_->control<ui::Timer>("时钟2")->running());

        const QFont bold = window_->control<ui::Button>("按钮1")->font();
        QVERIFY(bold.bold());
        QCOMPARE(bold.pixelSize(), 12);
        QVERIFY(!window_->control<ui::Button>("按钮2")->font().bold());
        QCOMPARE(window_->control<ui::GroupBox>("分组框8")->captionAlignment() &
                     Qt::AlignHorizontal_Mask,
                 Qt::AlignRight);
        QVERIFY(window_->control<ui::Label>("标签1")->wordWrap());
        QVERIFY(!window_->control<ui::Label>("标签2")->wordWrap());
    }

    void windowProperties() {
        QCOMPARE(window_->windowTitle(), q("Vellicor                             Version: 3"));
        QCOMPARE(window_->frameGeometry().size(), QSize(912, 556));
        QCOMPARE(window_->minimumSize(), window_->maximumSize());
        const Qt::WindowFlags flags = window_->windowFlags();
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        const QImage icon = window_->windowIcon().pixmap(QSize(108, 128)).toImage();
        QCOMPARE(icon.size(), QSize(108, 128));
        QCOMPARE(icon.depth(), 32);
    }

    void startsCentredOnTheScreen() {
        // Run first among the moving tests: the drag test moves the window afterwards.
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(window_->frameGeometry().topLeft(),
                 QPoint((screen.width() - 912) / 2, (screen.height() - 556) / 2));
    }

    void dragAnywhereOnlyFromBackgroundLabelsGroupsAndBars_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("moves");
        QTest::newRow("background") << "" << true;
        QTest::newRow("label") << "标签2" << true;
        QTest::newRow("group box") << "分组框3" << true;
        QTest::newRow("label in a group") << "标签10" << true;
        QTest::newRow("progress bar") << "进度条2" << true;
        QTest::newRow("button") << "按钮2" << false;
        QTest::newRow("check box") << "选择框17" << false;
        QTest::newRow("edit box") << "编辑框4" << false;
        QTest::newRow("log box") << "编辑框3" << false;
    }
    void dragAnywhereOnlyFromBackgroundLabelsGroupsAndBars() {
        QFETCH(QString, target);
        QWidget* widget = target.isEmpty()
                              ? window_.get()
                              : qobject_cast<QWidget*>(window_->object(target.toStdString()));
        if (auto* box = qobject_cast<ui::EditBox*>(widget)) {
            widget = box->editor();
        }
        // A point on the target that no child covers: the window's free strip at the bottom.
        const QPoint at = target.isEmpty() ? QPoint(300, window_->height() - 4) : QPoint(2, 2);
        const QPoint before = window_->pos();
        sendMouse(widget, QEvent::MouseButtonPress, at, Qt::LeftButton);
        sendMouse(widget, QEvent::MouseMove, at + QPoint(30, 20), Qt::LeftButton);
        sendMouse(widget, QEvent::MouseButtonRelease, at + QPoint(30, 20), Qt::NoButton);
        QFETCH(bool, moves);
        QCOMPARE(window_->pos() != before, moves);
    }

    // A tap (press and release, no motion) is no drag: afterwards the pointer moves alone.
    // The stand-in window system, like a real one, follows the pointer from the moment it is
    // asked until the next press, whether the button is still down or not.
    void tapOnALabelDoesNotStickTheWindowToThePointer_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("systemMoves");
        QTest::newRow("label, window system") << "标签11" << true;
        QTest::newRow("label, own move") << "标签11" << false;
        QTest::newRow("background, window system") << "" << true;
    }
    void tapOnALabelDoesNotStickTheWindowToThePointer() {
        QFETCH(QString, target);
        QFETCH(bool, systemMoves);
        QWidget* widget = target.isEmpty()
                              ? window_.get()
                              : qobject_cast<QWidget*>(window_->object(target.toStdString()));
        int asked = 0;
        window_->setSystemMove([&] { return ++asked, systemMoves; });
        const QPoint at = target.isEmpty() ? QPoint(300, window_->height() - 4) : QPoint(2, 2);
        const QPoint before = window_->pos();
        QTest::mousePress(widget, Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseRelease(widget, Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseMove(widget, at + QPoint(40, 25));
        sendMouse(widget, QEvent::MouseMove, at + QPoint(60, 35), Qt::NoButton);
        QCOMPARE(asked, 0);
        QCOMPARE(window_->pos(), before);

        // A real drag still asks once, and ends with the release.
        sendMouse(widget, QEvent::MouseButtonPress, at, Qt::LeftButton);
        sendMouse(widget, QEvent::MouseMove, at + QPoint(30, 20), Qt::LeftButton);
        sendMouse(widget, QEvent::MouseButtonRelease, at + QPoint(30, 20), Qt::NoButton);
        QCOMPARE(asked, 1);
        const QPoint dropped = window_->pos();
        sendMouse(widget, QEvent::MouseMove, at + QPoint(80, 50), Qt::NoButton);
        QCOMPARE(window_->pos(), dropped);
        window_->setSystemMove([] { return false; });
        window_->move(before);
    }

    void escapeDoesNotCloseAndEnterKeepsFocus() {
        QLineEdit* field =
            qobject_cast<QLineEdit*>(window_->control<ui::EditBox>("编辑框4")->editor());
        // Without a window manager the window never becomes active; the focus it would give
        // to its controls is still kept per window.
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClick(field, Qt::Key_Escape);
        QTest::keyClick(field, Qt::Key_F1);
        QVERIFY(window_->isVisible());
        QCOMPARE(window_->focusWidget(), field);
    }

    void eventsReachTheirOperation() {
        calls_.clear();
        const std::pair<const char*, const char*> buttons[] = {
            {"按钮1", "exchange"}, {"按钮2", "relogin"},       {"按钮3", "loginMode"},
            {"按钮4", "login"},    {"按钮5", "stopMusic"},     {"按钮6", "usageRecord"},
            {"按钮7", "signIn"},   {"按钮8", "signInRefresh"}, {"按钮9", "armTimer"},
        };
        QStringList expected;
        for (const auto& [name, call] : buttons) {
            auto* button = window_->control<ui::Button>(name);
            const bool enabled = button->isEnabled();
            button->setEnabled(true);  // 按钮7 and 按钮8 wait for the sign-in to enable them
            button->click();
            button->setEnabled(enabled);
            expected << call;
        }
        QCOMPARE(calls_, expected);

        calls_.clear();
        auto* hour = window_->control<ui::EditBox>("编辑框5");
        hour->setContent("08");  // the logic's write raises nothing
        QTest::keyClick(hour->editor(), Qt::Key_Backspace);
        // A third character is refused and changes nothing, so it raises nothing.
        QTest::keyClicks(window_->control<ui::EditBox>("编辑框7")->editor(), "1");
        QTest::keyClick(window_->control<ui::EditBox>("编辑框6")->editor(), Qt::Key_Backspace);
        QCOMPARE(calls_, (QStringList{"field0", "field1"}));
    }

    void linkClickGoesToTheLinkPanelOperation() {
        calls_.clear();
        auto* panel = window_->control<ui::SimpleHtml>("简单超文本框1");
        QVERIFY(panel->linkCount() >= 1);
        panel->clickLink(0);  // "查看帖子"
        QCOMPARE(calls_, QStringList{"link:帖子"});
        QVERIFY(opener_.opened().empty());  // an event link opens nothing by itself
    }

    void timerCaptionShowsTheClock() {
        auto* group = window_->control<ui::GroupBox>("分组框9");
        QSignalSpy tick(window_->control<ui::Timer>("时钟1"), &ui::Timer::ticked);
        QVERIFY(tick.wait(5000));
        QVERIFY(group->caption().startsWith(q("定时系统") + QString(37, ' ')));
        QVERIFY(group->caption().contains(QRegularExpression("\\d\\d:\\d\\d:\\d\\d$")));
    }

    // Under each font the machine has for Chinese, at its size and two points larger, every
    // caption of a label, button and check box is drawn whole inside its box, and only
    // those that would not fit are set smaller.
    void everyCaptionFitsItsBox_data() {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("points");
        const QFont system = QApplication::font();
        QStringList families = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
        families.prepend(system.family());
        families.removeDuplicates();
        for (const QString& family : families) {
            for (const int extra : {0, 2}) {
                const int points = system.pointSize() + extra;
                QTest::newRow(qPrintable(QStringLiteral("%1 %2pt").arg(family).arg(points)))
                    << family << points;
            }
        }
    }
    void everyCaptionFitsItsBox() {
        QFETCH(QString, family);
        QFETCH(int, points);
        // The window's controls follow the application's font while it is set.
        struct AppFont {
            const QFont before = QApplication::font();
            explicit AppFont(const QFont& font) { QApplication::setFont(font); }
            ~AppFont() { QApplication::setFont(before); }
        } font(QFont(family, points));
        AppContext context;
        context.config = Config::defaults();
        auto window = MainWindow::create(context);
        QVERIFY(window);
        for (const std::string& name : window->controlNames()) {
            auto* control = qobject_cast<QWidget*>(window->object(name));
            QString caption;
            int room = 0;
            QStyleOptionButton option;
            if (auto* check = qobject_cast<QCheckBox*>(control)) {
                option.initFrom(check);
                caption = check->text();
                room = check->style()
                           ->subElementRect(QStyle::SE_CheckBoxContents, &option, check)
                           .width();
            } else if (auto* button = qobject_cast<QPushButton*>(control)) {
                option.initFrom(button);
                caption = button->text();
                room = button->style()
                           ->subElementRect(QStyle::SE_PushButtonContents, &option, button)
                           .width();
            } else if (auto* label = qobject_cast<QLabel*>(control); label && !label->wordWrap()) {
                caption = label->text();
                room = label->contentsRect().width();
            }
            if (caption.isEmpty()) {
                continue;
            }
            const int needed = QFontMetrics(control->font()).horizontalAdvance(caption);
            QVERIFY2(needed <= room, qPrintable(QStringLiteral("%1 \"%2\": %3 px in %4")
                                                    .arg(q(name.c_str()), caption)
                                                    .arg(needed)
                                                    .arg(room)));
            const QFont inherited = control->parentWidget()->font();
            if (control->font() != inherited && name != "按钮1") {
                // Smaller only where the inherited size would not have fitted.
                QVERIFY2(QFontMetrics(inherited).horizontalAdvance(caption) > room,
                         qPrintable(q(name.c_str())));
            }
        }
    }

    void closingRunsShutDownOnce() {
        calls_.clear();
        QVERIFY(window_->close());
        window_.reset();
        QCOMPARE(calls_, QStringList{"closing"});
    }

  private:
    AppContext context_;
    test::RecordingOpener opener_;
    std::unique_ptr<MainWindow> window_;
    QStringList calls_;
};

VELLICOR_GUI_TEST_MAIN(FormTest)
#include "form_test.moc"
