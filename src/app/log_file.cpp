#include "app/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace vellicor::app {
namespace {

constexpr const char* kPrefix = "vellicor-";
constexpr const char* kSuffix = ".log";

bool isLogName(const std::string& name) {
    // vellicor-YYYY-MM-DD.log
    return name.size() == 23 && name.starts_with(kPrefix) && name.ends_with(kSuffix);
}

// The box's CRLF line ends become the file system's own.
std::string unixLines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string logFileName(const Clock& clock, Clock::WallTime at) {
    using namespace std::chrono;
    const auto local = at + seconds(clock.utcOffsetSeconds(at));
    const year_month_day day{floor<days>(local)};
    char name[32];
    std::snprintf(name, sizeof name, "%s%04d-%02u-%02u%s", kPrefix, static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()), kSuffix);
    return name;
}

LogFile::LogFile(std::string folder, const Clock& clock, int keepDays)
    : folder_(std::move(folder)),
      clock_(clock),
      keepDays_(std::max(1, keepDays)),
      writer_([this] { writerLoop(); }) {}

LogFile::~LogFile() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void LogFile::append(std::string text) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(text));
        ++appended_;
    }
    wake_.notify_one();
}

std::string LogFile::currentPath() const {
    return folder_ + "/" + logFileName(clock_, clock_.wallNow());
}

void LogFile::flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = appended_;
    written_.wait(lock, [&] { return done_ >= target; });
}

void LogFile::writerLoop() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopping, and everything is written
        }
        std::vector<std::string> batch;
        batch.swap(queue_);
        lock.unlock();
        std::string bytes;
        for (const std::string& text : batch) {
            bytes += unixLines(text);
        }
        write(bytes);
        lock.lock();
        done_ += batch.size();
        written_.notify_all();
    }
}

void LogFile::write(const std::string& text) {
    const std::string name = logFileName(clock_, clock_.wallNow());
    if ((name != openName_ || fd_ < 0) && !openFor(name)) {
        return;  // no folder or no space: the log box still has the lines
    }
    writeAll(fd_, text);
}

bool LogFile::openFor(const std::string& name) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    ::chmod(folder_.c_str(), 0700);
    const std::string path = folder_ + "/" + name;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        return false;
    }
    ::fchmod(fd_, 0600);  // a file made earlier under a looser umask
    openName_ = name;
    prune();
    return true;
}

// The names sort by date; the newest keepDays stay.
void LogFile::prune() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file(ec) && isLogName(name)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    const std::size_t keep = static_cast<std::size_t>(keepDays_);
    for (std::size_t i = 0; i + keep < names.size(); ++i) {
        std::filesystem::remove(std::filesystem::path(folder_) / names[i], ec);
    }
}

}  // namespace vellicor::app
