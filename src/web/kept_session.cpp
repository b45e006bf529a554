#include "web/kept_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace vellicor::web {
namespace {

std::string besideOf(const std::string& path) {
    return path + ".new";
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

bool writeKeptSession(const std::string& path, const std::string& bytes) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    std::error_code ec;
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
        ::chmod(folder.c_str(), 0700);
    }
    // A fresh file of our own: whatever an earlier write left there, a link included, goes.
    const std::string temporary = besideOf(path);
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    ::fchmod(fd, 0600);
    const bool written = writeAll(fd, bytes);
    const bool closed = ::close(fd) == 0;
    if (written && closed && ::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}

void dropKeptSession(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink(besideOf(path).c_str());
}

std::string keptSessionPath(const std::string& dataFolder, bool remember) {
    if (dataFolder.empty()) {
        return {};
    }
    const std::string path = dataFolder + "/session";
    if (remember) {
        return path;
    }
    dropKeptSession(path);
    return {};
}

}  // namespace vellicor::web
