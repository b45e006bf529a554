#include "app/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/quote.h"

namespace vellicor::app {
namespace {

constexpr const char* kPrefix = "vellicor-";
constexpr const char* kSuffix = ".log";

bool digitsAt(const std::string& text, std::size_t at, std::size_t count) {
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at),
                       text.begin() + static_cast<std::ptrdiff_t>(at + count),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// "YYYY-MM-DD" of a day's log, "vellicor-YYYY-MM-DD.log", or of a run's picture beside it,
// "vellicor-YYYY-MM-DD-HHMMSS-timeline.svg" or ".csv"; empty for any other name, which is
// never removed.
std::string dayOf(const std::string& name) {
    constexpr std::size_t kDayAt = 9;  // after the prefix
    if (name.size() < kDayAt + 10 || !name.starts_with(kPrefix) || !digitsAt(name, kDayAt, 4) ||
        name[kDayAt + 4] != '-' || !digitsAt(name, kDayAt + 5, 2) || name[kDayAt + 7] != '-' ||
        !digitsAt(name, kDayAt + 8, 2)) {
        return {};
    }
    const std::string rest = name.substr(kDayAt + 10);
    const bool log = rest == kSuffix;
    const bool picture = rest.size() == 20 && rest[0] == '-' && digitsAt(rest, 1, 6) &&
                         (rest.ends_with("-timeline.svg") || rest.ends_with("-timeline.csv"));
    return log || picture ? name.substr(kDayAt, 10) : std::string();
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

// How many bytes went out before a write failed; `error` says why it stopped.
std::size_t writeSome(int fd, const std::string& bytes, int& error) {
    std::size_t at = 0;
    error = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        at += static_cast<std::size_t>(n);
    }
    return at;
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
      // An empty text first: the writer opens the file before any line comes.
      queue_(1),
      appended_(1),
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
        // A mall's text may hold anything; the file holds text a reader can open.
        queue_.push_back(fileText(text));
        ++appended_;
    }
    wake_.notify_one();
}

std::string LogFile::currentPath() const {
    return folder_ + "/" + logFileName(clock_, clock_.wallNow());
}

bool LogFile::writing() const {
    std::lock_guard lock(mutex_);
    return healthy_;
}

void LogFile::setOnTrouble(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(sinkMutex_);
    onTrouble_ = std::move(sink);
    if (onTrouble_ && !unsentNotice_.empty()) {
        onTrouble_(unsentNotice_);
        unsentNotice_.clear();
    }
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
    pending_ += text;
    const std::string name = logFileName(clock_, clock_.wallNow());
    int error = name == openName_ && fd_ >= 0 ? 0 : openFor(name);
    if (error == 0 && !pending_.empty()) {
        pending_.erase(0, writeSome(fd_, pending_, error));
    }
    if (error != 0) {
        // A file deleted or a disk remounted under us is found again by its name.
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        keepWithinBound();
    }
    report(error == 0, error, folder_ + "/" + name);
}

int LogFile::openFor(const std::string& name) {
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
        return errno;
    }
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
        ::fchmod(fd_, 0600);  // a file made earlier under a looser umask
    }
    openName_ = name;
    prune();
    return 0;
}

// The oldest whole lines go first; what stays starts at a line's beginning.
void LogFile::keepWithinBound() {
    if (pending_.size() <= kMaxPendingBytes) {
        return;
    }
    std::size_t cut = pending_.find('\n', pending_.size() - kMaxPendingBytes - 1);
    cut = cut == std::string::npos ? pending_.size() : cut + 1;
    lostLines_ += static_cast<std::uint64_t>(
        std::count(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(cut), '\n'));
    pending_.erase(0, cut);
}

void LogFile::report(bool ok, int error, const std::string& path) {
    std::string notice;
    if (!ok && !troubleSaid_) {
        troubleSaid_ = true;
        notice = "日志文件无法写入：" + path + "（" + std::strerror(error) +
                 "），未写入的行稍后重试\r\n";
    } else if (ok && troubleSaid_) {
        troubleSaid_ = false;
        notice = "日志文件恢复写入：" + path;
        if (lostLines_ > 0) {
            notice += "，其间 " + std::to_string(lostLines_) + " 行积压过多，未能写入";
        }
        notice += "\r\n";
        lostLines_ = 0;
    }
    {
        std::lock_guard lock(mutex_);
        healthy_ = ok;
    }
    if (notice.empty()) {
        return;
    }
    std::lock_guard lock(sinkMutex_);
    if (onTrouble_) {
        onTrouble_(notice);
    } else {
        unsentNotice_ += notice;
    }
}

// The days of the logs and of the runs' pictures beside them: the newest keepDays days'
// files stay. The names sort by date.
void LogFile::prune() const {
    std::map<std::string, std::vector<std::string>> byDay;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        const std::string name = entry.path().filename().string();
        const std::string day = dayOf(name);
        if (!day.empty() && entry.is_regular_file(ec)) {
            byDay[day].push_back(name);
        }
    }
    const std::size_t keep = static_cast<std::size_t>(keepDays_);
    std::size_t older = byDay.size() > keep ? byDay.size() - keep : 0;
    for (auto day = byDay.begin(); older > 0; ++day, --older) {
        for (const std::string& name : day->second) {
            std::filesystem::remove(std::filesystem::path(folder_) / name, ec);
        }
    }
}

}  // namespace vellicor::app
