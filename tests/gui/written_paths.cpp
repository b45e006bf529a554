// Prints, one a line, the paths the window writes under its data folder, as the code makes
// them, in the manual's notation: the date and time fields as YYYY-MM-DD and HHMMSS, an
// account's number as <number>, the data folder as $XDG_DATA_HOME/vellicor. The manual's
// FILES section is compared with this list (man_page_files.sh).

#include <QCoreApplication>
#include <QStandardPaths>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/log_file.h"
#include "app/timeline_view.h"
#include "platform/clock.h"
#include "web/accounts.h"

namespace {

void replace(std::string& text, const std::string& from, const std::string& to) {
    if (const auto at = text.find(from); at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
}

// Fields no other part of a name could be mistaken for.
std::string notation(std::string path) {
    replace(path, "070809", "HHMMSS");
    replace(path, "2034-05-06", "YYYY-MM-DD");
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vellicor;
    // The data folder as the window finds it (main.cpp): the application's own under
    // XDG_DATA_HOME.
    qputenv("XDG_DATA_HOME", "/XDG_DATA_HOME");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellicor"));
    std::string folder =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation).toStdString();
    replace(folder, "/XDG_DATA_HOME", "$XDG_DATA_HOME");

    // 07:08:09 on 6 May 2034, local.
    const MockClock clock(
        Clock::WallTime(std::chrono::sys_days{std::chrono::year{2034} / 5 / 6} +
                        std::chrono::hours(7) + std::chrono::minutes(8) + std::chrono::seconds(9)),
        0);
    const std::string log = folder + "/" + app::logFileName(clock, clock.wallNow());
    const app::TimelineFiles picture = app::timelineFilesBeside(log, clock);
    for (const std::string& path :
         {log, picture.svg, picture.csv, web::accountsFolder(folder) + "/<number>",
          web::profileFolder(folder, "<number>")}) {
        std::printf("%s\n", notation(path).c_str());
    }
    return 0;
}
