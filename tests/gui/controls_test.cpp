// The control kinds' rules that the logic leans on: appends, input filters, content-changed,
// progress bar bounds, timer periods, check state, link panel and browser pane events.

#include <QClipboard>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <map>
#include <thread>
#include <vector>

#include "doubles.h"
#include "gui_test_main.h"
#include "platform/html_text.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/html_viewer.h"
#include "platform/qt/process_bar.h"
#include "platform/qt/qt_services.h"
#include "platform/qt/simple_html.h"
#include "platform/qt/timer.h"
#include "platform/services.h"

using namespace vellicor;
using namespace vellicor::ui;

namespace {

EditBoxOptions logBoxOptions() {
    EditBoxOptions options;
    options.multiLine = true;
    options.mode = InputMode::ReadOnly;
    return options;
}

EditBoxOptions digitField(int maxLength) {
    EditBoxOptions options;
    options.mode = InputMode::DigitsOnly;
    options.maxLength = maxLength;
    return options;
}

QLineEdit* lineOf(EditBox& box) {
    return qobject_cast<QLineEdit*>(box.editor());
}

}  // namespace

class ControlsTest : public QObject {
    Q_OBJECT

  private slots:
    void appendGoesAtTheEndAsOnePiece() {
        EditBox box(logBoxOptions());
        box.append("a");
        box.append("b\r\n");
        QCOMPARE(box.content(), QString("ab\r\n"));
        box.append("");
        box.append("c");
        QCOMPARE(box.content(), QString("ab\r\nc"));
    }

    void appendIgnoresTheUsersSelection() {
        EditBox box(logBoxOptions());
        box.setContent("first line\r\nsecond line\r\n");
        auto* editor = qobject_cast<QPlainTextEdit*>(box.editor());
        QTextCursor cursor(editor->document());
        cursor.setPosition(2);
        cursor.setPosition(8, QTextCursor::KeepAnchor);
        editor->setTextCursor(cursor);
        box.append("third\r\n");
        QCOMPARE(box.content(), QString("first line\r\nsecond line\r\nthird\r\n"));
    }

    void appendsFromManyThreadsArriveWholeAndInFull() {
        EditBox box(logBoxOptions());
        constexpr int kThreads = 8;
        constexpr int kLines = 250;
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back([&box, t] {
                for (int i = 0; i < kLines; ++i) {
                    box.append(QString("worker %1 line %2 ").arg(t).arg(i) +
                               QString(40, QChar('x')) + "\r\n");
                }
            });
        }
        for (auto& w : workers) {
            w.join();
        }
        QTRY_COMPARE_WITH_TIMEOUT(box.content().count("\r\n"), kThreads * kLines, 30000);
        const QStringList lines = box.content().split("\r\n", Qt::SkipEmptyParts);
        std::map<int, int> next;
        const QRegularExpression whole("^worker (\\d) line (\\d+) x{40}$");
        for (const QString& line : lines) {
            const auto match = whole.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const int t = match.captured(1).toInt();
            QCOMPARE(match.captured(2).toInt(), next[t]++);  // each worker's order kept
        }
        for (int t = 0; t < kThreads; ++t) {
            QCOMPARE(next[t], kLines);
        }
        // The box follows what arrives.
        auto* editor = qobject_cast<QPlainTextEdit*>(box.editor());
        QCOMPARE(editor->textCursor().position(), editor->document()->characterCount() - 1);
    }

    void userCannotTypeIntoTheLogBox() {
        EditBox box(logBoxOptions());
        box.setContent("notice");
        QTest::keyClicks(box.editor(), "typed");
        QCOMPARE(box.content(), QString("notice"));
    }

    void digitsOnlyFiltersTypedPastedAndInsertedText_data() {
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("result");
        QTest::newRow("typed letters dropped") << 0 << "type"
                                               << "1a2b"
                                               << "12";
        QTest::newRow("minus accepted") << 0 << "type"
                                        << "-5"
                                        << "-5";
        QTest::newRow("two at most") << 2 << "type"
                                     << "123"
                                     << "12";
        QTest::newRow("no limit") << 0 << "type"
                                  << "1234567"
                                  << "1234567";
        QTest::newRow("pasted letters dropped") << 0 << "paste"
                                                << "4x5 y"
                                                << "45";
        QTest::newRow("pasted past the limit") << 2 << "paste"
                                               << "9a87"
                                               << "98";
        QTest::newRow("dropped text") << 0 << "insert"
                                      << "中3文1"
                                      << "31";
    }
    void digitsOnlyFiltersTypedPastedAndInsertedText() {
        QFETCH(int, maxLength);
        QFETCH(QString, how);
        QFETCH(QString, input);
        QFETCH(QString, result);
        EditBox box(digitField(maxLength));
        QLineEdit* line = lineOf(box);
        if (how == "type") {
            QTest::keyClicks(line, input);
        } else if (how == "paste") {
            QGuiApplication::clipboard()->setText(input);
            line->paste();
        } else {
            line->insert(input);  // the path a drop takes
        }
        QCOMPARE(box.content(), result);
        QTest::keyClick(line, Qt::Key_Backspace);  // control keys pass
        QCOMPARE(box.content(), result.left(result.size() - 1));
    }

    void logicWritesBypassTheFilterAndRaiseNothing() {
        EditBox box(digitField(2));
        QSignalSpy changed(&box, &EditBox::contentChanged);
        box.setContent("11");
        box.append("5");
        QCOMPARE(box.content(), QString("115"));
        QCOMPARE(changed.count(), 0);
        QTest::keyClick(lineOf(box), Qt::Key_Backspace);
        QCOMPARE(changed.count(), 1);
        QGuiApplication::clipboard()->setText("7");
        lineOf(box)->paste();  // the box is full: refused, no change, no event
        QCOMPARE(box.content(), QString("11"));
        QCOMPARE(changed.count(), 1);
        QTest::keyClick(lineOf(box), Qt::Key_Backspace);
        lineOf(box)->paste();
        QCOMPARE(box.content(), QString("17"));
        QCOMPARE(changed.count(), 3);
    }

    void processBarClampsAndKeepsWhatWasWritten_data() {
        QTest::addColumn<int>("min");
        QTest::addColumn<int>("max");
        QTest::addColumn<int>("pos");
        QTest::addColumn<int>("readMin");
        QTest::addColumn<int>("readMax");
        QTest::addColumn<int>("readPos");
        QTest::addColumn<double>("fill");  // shown fraction of the bar
        QTest::newRow("past the top") << 0 << 12 << 40 << 0 << 12 << 40 << 1.0;
        QTest::newRow("negative") << 0 << 12 << -5 << 0 << 12 << 0 << 0.0;
        QTest::newRow("reversed bounds") << 59 << 0 << 30 << 59 << 0 << 30 << 30.0 / 59;
        QTest::newRow("over the limit") << 0 << 40000 << 40000 << 0 << 32767 << 32767 << 1.0;
        QTest::newRow("below the range") << 10 << 20 << 5 << 10 << 20 << 5 << 0.0;
        QTest::newRow("empty range at zero") << 0 << 0 << 7 << 0 << 0 << 7 << 0.0;
    }
    void processBarClampsAndKeepsWhatWasWritten() {
        QFETCH(int, min);
        QFETCH(int, max);
        QFETCH(int, pos);
        ProcessBar bar;
        bar.setMinimumValue(min);
        bar.setMaximumValue(max);
        bar.setPosition(pos);
        QTEST(bar.minimumValue(), "readMin");
        QTEST(bar.maximumValue(), "readMax");
        QTEST(bar.position(), "readPos");
        QFETCH(double, fill);
        const double shown = double(bar.value() - bar.minimum()) / (bar.maximum() - bar.minimum());
        QVERIFY2(qAbs(shown - fill) < 1e-9, qPrintable(QString::number(shown)));
    }

    void timerPeriodRules() {
        Timer timer;
        QVERIFY(!timer.running());
        timer.setPeriod(100000);
        QVERIFY(timer.running());
        // Let the period run a little, without asserting on how long that takes.
        QTRY_VERIFY2_WITH_TIMEOUT(timer.remainingMs() < 100000, "the period never ran", 30000);
        const int left = timer.remainingMs();
        timer.setPeriod(100000);  // the same value: the period runs on
        QVERIFY(timer.remainingMs() <= left);
        timer.setPeriod(200000);  // a new value starts a new period now
        QVERIFY(timer.remainingMs() > 100000);
        timer.setPeriod(0);
        QVERIFY(!timer.running());
        timer.setPeriod(50000);
        timer.setPeriod(-1);
        QVERIFY(!timer.running());
        QCOMPARE(timer.period(), 0);

        QSignalSpy ticks(&timer, &Timer::ticked);
        timer.setPeriod(10);
        QVERIFY(ticks.wait(5000));
    }

    void checkBoxReadsTheLiveState() {
        CheckBox box;
        box.setCaption("改名");
        box.resize(80, 24);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(8, 12));
        QVERIFY(box.checked());
        box.setChecked(false);
        QVERIFY(!box.checked());
    }

    void linkPanelRaisesEventTextsAndOpensAddresses() {
        SimpleHtml panel;
        test::RecordingOpener opener;
        panel.setUrlOpener(&opener);
        panel.setStyleSheetText(
            "a:link {text-decoration: none; color: blue;}\r\n"
            "a:hover {text-decoration: underline; color: blue;}\r\n");
        panel.setMarkup(
            "\r\n<a event=\"帖子\">查看帖子</a>    <a href=\"http://127.0.0.1/x?a=1&b=2\">站</a>"
            "\r\n<a msg='第二版'>待定...</a>");
        QSignalSpy clicked(&panel, &SimpleHtml::linkClicked);
        QCOMPARE(panel.linkCount(), 3);
        panel.clickLink(0);
        panel.clickLink(2);
        QCOMPARE(clicked.count(), 2);
        QCOMPARE(clicked.at(0).at(0).toString(), QString("帖子"));
        QCOMPARE(clicked.at(1).at(0).toString(), QString("第二版"));
        QVERIFY(opener.opened().empty());  // event links open nothing
        panel.clickLink(1);
        QCOMPARE(opener.opened(), std::vector<std::string>{"http://127.0.0.1/x?a=1&b=2"});
        QCOMPARE(clicked.count(), 2);
        // Line ends and runs of blanks show as written.
        QVERIFY(panel.toPlainText().contains("查看帖子    站\n待定..."));
    }

    // Without a browser the address is still the user's: on the clipboard and in a box.
    void addressWithoutABrowserIsShownAndCopied() {
        test::RecordingBoxes boxes;
        std::vector<QUrl> tried;
        bool browser = false;
        ui::QtUrlOpener opener(&boxes,
                               [&](const QUrl& url) { return tried.push_back(url), browser; });
        const std::string address = "http://127.0.0.1:9/thread-206311-1-1.html?a=1&b=%E4";
        QGuiApplication::clipboard()->clear();
        opener.open(address);
        QCOMPARE(tried.size(), std::size_t{1});
        QCOMPARE(tried[0].toEncoded().toStdString(), address);
        QCOMPARE(boxes.shown().size(), std::size_t{1});
        QVERIFY(boxes.shown()[0].text.find(address) != std::string::npos);
        QCOMPARE(QGuiApplication::clipboard()->text().toStdString(), address);

        // From another thread the same, carried out on the GUI thread.
        std::thread([&] { opener.open(address + "#2"); }).join();
        QTRY_COMPARE(boxes.shown().size(), std::size_t{2});
        QCOMPARE(QGuiApplication::clipboard()->text().toStdString(), address + "#2");

        browser = true;  // a browser that starts: nothing else happens
        QGuiApplication::clipboard()->clear();
        opener.open(address);
        QCOMPARE(boxes.shown().size(), std::size_t{2});
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
    }

    // Several addresses of one click without a browser: one box naming them all, and all of
    // them on the clipboard, a line each; those a browser took are left out of both.
    void severalAddressesWithoutABrowserMakeOneBox_data() {
        QTest::addColumn<QList<bool>>("opens");
        QTest::addColumn<QStringList>("missed");
        QTest::newRow("no browser") << QList<bool>{false, false}
                                    << QStringList{"http://127.0.0.1:9/a", "http://127.0.0.1:9/b"};
        QTest::newRow("the second missed")
            << QList<bool>{true, false} << QStringList{"http://127.0.0.1:9/b"};
        QTest::newRow("both opened") << QList<bool>{true, true} << QStringList{};
    }
    void severalAddressesWithoutABrowserMakeOneBox() {
        QFETCH(QList<bool>, opens);
        QFETCH(QStringList, missed);
        test::RecordingBoxes boxes;
        int tried = 0;
        ui::QtUrlOpener opener(&boxes, [&](const QUrl&) { return opens.value(tried++); });
        QGuiApplication::clipboard()->clear();
        opener.openAll({"http://127.0.0.1:9/a", "http://127.0.0.1:9/b"});
        QCOMPARE(tried, 2);
        QCOMPARE(boxes.shown().size(), std::size_t(missed.isEmpty() ? 0 : 1));
        QCOMPARE(QGuiApplication::clipboard()->text(), missed.join('\n'));
        for (const QString& address : missed) {
            QVERIFY(boxes.shown()[0].text.find(address.toStdString()) != std::string::npos);
        }
    }

    // What the escaping wrote is what a click reports: references of the address's own stay.
    void linkPanelDecodesWhatTheEscapingWrote() {
        const std::vector<std::string> events{"a&amp;b", "x\"><i>y", "it's &#39; &lt;", "&&;"};
        SimpleHtml panel;
        QString markup;
        for (const auto& event : events) {
            markup += QString::fromStdString("<a event=\"" + escapeHtml(event) + "\">" +
                                             escapeHtml(event) + "</a>\r\n");
        }
        panel.setMarkup(markup);
        QSignalSpy clicked(&panel, &SimpleHtml::linkClicked);
        QCOMPARE(panel.linkCount(), int(events.size()));
        for (int i = 0; i < panel.linkCount(); ++i) {
            panel.clickLink(i);
            QCOMPARE(clicked.at(i).at(0).toString().toStdString(), events[std::size_t(i)]);
            QVERIFY(panel.toPlainText().contains(QString::fromStdString(events[std::size_t(i)])));
        }
    }

    void linkPanelUnderlinesOnlyTheHoveredLink() {
        SimpleHtml panel;
        panel.setStyleSheetText(
            "a:link {text-decoration: none; color: blue;}\r\n"
            "a:hover {text-decoration: underline; color: blue;}\r\n");
        panel.setMarkup("<a event=\"1\">one</a> <a event=\"2\">two</a>");
        auto underlined = [&panel](const QString& word) {
            const int at = panel.toPlainText().indexOf(word);
            QTextCursor cursor(panel.document());
            cursor.setPosition(at + 1);
            return cursor.charFormat().fontUnderline();
        };
        QVERIFY(!underlined("one"));
        QVERIFY(!underlined("two"));
        emit panel.highlighted(QUrl("vellicor-link:1"));  // the pointer is over "two"
        QVERIFY(!underlined("one"));
        QVERIFY(underlined("two"));
        emit panel.highlighted(QUrl());
        QVERIFY(!underlined("two"));
    }

    void paneReportsEveryFrameDocumentWithItsAddress() {
        QTemporaryDir dir;
        writeFile(dir.filePath("frame.html"), "<html><body>frame</body></html>");
        writeFile(dir.filePath("page.html"),
                  "<html><body><iframe src=\"frame.html\"></iframe></body></html>");
        HtmlViewer pane;
        pane.resize(200, 150);
        QStringList readDuringEvent;
        connect(&pane, &HtmlViewer::documentReady, this,
                [&](const QString&) { readDuringEvent << pane.address(); });
        QSignalSpy ready(&pane, &HtmlViewer::documentReady);
        const QString page = QUrl::fromLocalFile(dir.filePath("page.html")).toString();
        const QString frame = QUrl::fromLocalFile(dir.filePath("frame.html")).toString();
        pane.setAddress(page);
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 30000);
        QCOMPARE(ready.at(0).at(0).toString(), frame);
        QCOMPARE(ready.at(1).at(0).toString(), page);
        QCOMPARE(readDuringEvent, (QStringList{frame, page}));
        QCOMPARE(pane.address(), page);  // outside the events: the page in view
    }

    void paneRefusesNavigationWhenTheHandlerSaysNo() {
        QTemporaryDir dir;
        writeFile(dir.filePath("a.html"), "<html><body>a</body></html>");
        writeFile(dir.filePath("b.html"), "<html><body>b</body></html>");
        const QString a = QUrl::fromLocalFile(dir.filePath("a.html")).toString();
        const QString b = QUrl::fromLocalFile(dir.filePath("b.html")).toString();
        HtmlViewer pane;
        QSignalSpy ready(&pane, &HtmlViewer::documentReady);
        pane.setAddress(a);
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 30000);

        QStringList asked;
        pane.setBeforeNavigate([&](const QString& address) {
            asked << address << pane.address();
            return false;
        });
        QSignalSpy navigated(&pane, &HtmlViewer::navigated);
        pane.setAddress(b);
        QTRY_COMPARE_WITH_TIMEOUT(asked.size(), 2, 30000);
        QCOMPARE(asked, (QStringList{b, b}));  // the address reads as the event's
        QCOMPARE(pane.address(), a);
        QCOMPARE(navigated.count(), 0);
    }

    void paneStatusTextFollowsLoadsAndHoveredLinks() {
        QTemporaryDir dir;
        writeFile(dir.filePath("a.html"), "<html><body><a href=\"b.html\">b</a></body></html>");
        const QString a = QUrl::fromLocalFile(dir.filePath("a.html")).toString();
        const QString b = QUrl::fromLocalFile(dir.filePath("b.html")).toString();
        HtmlViewer pane;
        QVERIFY(pane.statusText().isEmpty());
        QSignalSpy changed(&pane, &HtmlViewer::statusTextChanged);
        pane.setAddress(a);
        QTRY_COMPARE_WITH_TIMEOUT(pane.statusText(), QStringLiteral("完成"), 30000);
        QCOMPARE(changed.first().first().toString(), QStringLiteral("正在打开网页 ") + a);

        emit pane.page()->linkHovered(b);  // what the engine reports for the pointer on a link
        QCOMPARE(pane.statusText(), b);
        emit pane.page()->linkHovered(QString());
        QCOMPARE(pane.statusText(), QStringLiteral("完成"));

        pane.setAddress(QUrl::fromLocalFile(dir.filePath("missing.html")).toString());
        QTRY_COMPARE_WITH_TIMEOUT(pane.statusText(), QStringLiteral("无法打开网页"), 30000);
    }

  private:
    static void writeFile(const QString& path, const QByteArray& text) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
};

VELLICOR_GUI_TEST_MAIN(ControlsTest)
#include "controls_test.moc"
