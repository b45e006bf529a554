#pragma once
// What the window and its controllers are given from outside: the configuration and the
// injected services. The log sink is filled in by the window once its log box exists.

#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/config.h"
#include "platform/services.h"

namespace vellicor::alert {
class Alerter;
}

namespace vellicor::app {

struct AppContext {
    Config config;
    const Clock* clock = &SystemClock::instance();
    MessageBoxService* messageBox = nullptr;
    UrlOpener* urlOpener = nullptr;
    Notifier* notifier = nullptr;  // null: no notifications
    // The user's data folder (the log files, a remembered session); empty: nothing goes to
    // disk.
    std::string dataFolder;
    // Appends one whole text to the log box; callable from any thread, also after the window
    // is gone (the text is then dropped). Set by MainWindow.
    LogSink log;
    // The file the whole log goes to today; empty without a data folder. Any thread. Set by
    // MainWindow.
    std::function<std::string()> logFilePath;
    // Runs `then` on the window's thread once every text the calling thread logged before is
    // in the log box. Any thread. Set by MainWindow.
    std::function<void(std::function<void()> then)> afterLogShown;
    // Alerts away from the computer (web hook, mail); null: none. Set by AlertWiring.
    std::shared_ptr<alert::Alerter> alerter;
};

}  // namespace vellicor::app
