#pragma once
// One QApplication per test binary; Qt WebEngine runs without its sandbox as root.

#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <string_view>

#define VELLICOR_GUI_TEST_MAIN(TestClass)                \
    int main(int argc, char** argv) {                    \
        if (::geteuid() == 0) {                          \
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1"); \
        }                                                \
        QApplication app(argc, argv);                    \
        TestClass test;                                  \
        return QTest::qExec(&test, argc, argv);          \
    }

// As above, for a binary whose tests on the real clock stand apart: given "realclock" as its
// first argument it runs those (RealClockClass), else the rest (TestClass).
#define VELLICOR_GUI_TEST_MAIN_WITH_REALCLOCK(TestClass, RealClockClass) \
    int main(int argc, char** argv) {                                    \
        if (::geteuid() == 0) {                                          \
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");                 \
        }                                                                \
        QApplication app(argc, argv);                                    \
        if (argc > 1 && std::string_view(argv[1]) == "realclock") {      \
            argv[1] = argv[0];                                           \
            RealClockClass test;                                         \
            return QTest::qExec(&test, argc - 1, argv + 1);              \
        }                                                                \
        TestClass test;                                                  \
        return QTest::qExec(&test, argc, argv);                          \
    }
