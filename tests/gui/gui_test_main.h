#pragma once
// One QApplication per test binary; Qt WebEngine runs without its sandbox as root.

#include <unistd.h>

#include <QApplication>
#include <QTest>

#define VELLICOR_GUI_TEST_MAIN(TestClass)                \
    int main(int argc, char** argv) {                    \
        if (::geteuid() == 0) {                          \
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1"); \
        }                                                \
        QApplication app(argc, argv);                    \
        TestClass test;                                  \
        return QTest::qExec(&test, argc, argv);          \
    }
