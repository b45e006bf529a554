#include "platform/bounded_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vellicor {

Result<std::string> readBoundedFile(const std::string& path, std::size_t most) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return makeError(ErrorCode::Io, std::strerror(errno));
    }
    std::string bytes;
    char block[64 * 1024];
    while (bytes.size() <= most) {
        const std::size_t want = std::min(sizeof block, most + 1 - bytes.size());
        const ssize_t n = ::read(fd, block, want);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return makeError(ErrorCode::Io, std::strerror(error));
        }
        if (n == 0) {
            break;
        }
        bytes.append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (bytes.size() > most) {
        return makeError(ErrorCode::TooLarge, "larger than " + std::to_string(most) + " bytes");
    }
    return bytes;
}

}  // namespace vellicor
