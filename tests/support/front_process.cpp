#include "front_process.h"

#include "loopback_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace vellicor::test {
namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// Apache and HAProxy read their certificates and start their workers within a second or two
// on a busy machine; this bound is only reached when something is wrong.
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStopLimit = std::chrono::seconds(5);

bool executable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

bool accepts(std::uint16_t port) {
    const int fd = connectLoopback(port);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

std::string findProgram(const std::string& named, const char* envVar, const std::string& program,
                        std::initializer_list<const char*> known) {
    if (!named.empty()) {
        return executable(named) ? named : std::string();
    }
    if (const char* own = std::getenv(envVar); own != nullptr && executable(own)) {
        return own;
    }
    if (const char* path = std::getenv("PATH"); path != nullptr) {
        std::istringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (!dir.empty() && executable(dir + "/" + program)) {
                return dir + "/" + program;
            }
        }
    }
    for (const char* place : known) {
        if (executable(place)) {
            return place;
        }
    }
    return {};
}

Result<std::string> makeFrontFolder(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return makeError(ErrorCode::Io, "cannot make a folder for " + prefix);
    }
    ::chmod(pattern.c_str(), 0755);
    return pattern;
}

void removeFrontFolder(const std::string& folder) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

int linesHolding(const std::string& text, const std::string& part) {
    std::istringstream lines(text);
    int n = 0;
    for (std::string line; std::getline(lines, line);) {
        n += line.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

Status FrontProcess::start(const Launch& launch, std::uint16_t port,
                           const std::function<std::string()>& log) {
    stop();
    launch_ = launch;
    std::vector<char*> argv;
    for (auto& a : launch_.argv) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (!launch_.outputFile.empty()) {
        posix_spawn_file_actions_addopen(&files, 1, launch_.outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
    }
    // A group of its own, so that a master that must be killed takes its workers along.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int spawned = ::posix_spawn(&pid_, argv[0], &files, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
        pid_ = -1;
        return makeError(ErrorCode::Unavailable,
                         launch_.what + " could not be started: " + launch_.argv[0]);
    }
    auto up = waitUntilAccepting(port, log);
    if (!up) {
        stop();
    }
    return up;
}

Status FrontProcess::waitUntilAccepting(std::uint16_t port,
                                        const std::function<std::string()>& log) {
    const auto deadline = Steady::now() + kStartLimit;
    while (Steady::now() < deadline) {
        if (accepts(port)) {
            return Ok{};
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return makeError(ErrorCode::Unavailable,
                             launch_.what + " exited at start: " + (log ? log() : std::string()));
        }
        ::poll(nullptr, 0, 10);  // these programs give no start signal but their port
    }
    return makeError(ErrorCode::Timeout, launch_.what + " did not accept on port " +
                                             std::to_string(port) + " within " +
                                             std::to_string(kStartLimit.count()) +
                                             " s: " + (log ? log() : std::string()));
}

void FrontProcess::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, launch_.stopSignal != 0 ? launch_.stopSignal : SIGTERM);
    const auto deadline = Steady::now() + kStopLimit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Steady::now() >= deadline) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        ::poll(nullptr, 0, 10);
    }
    // Workers that outlived their master (Apache's children finish their requests first).
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
}

FrontProcess::~FrontProcess() {
    stop();
}

Status startOnFreePort(const std::function<Status(std::uint16_t port)>& attempt,
                       std::uint16_t& port) {
    Status started = makeError(ErrorCode::Internal, "no attempt was made");
    for (int tries = 0; tries < 5 && !started; ++tries) {
        port = closedPort();
        if (port == 0) {
            return makeError(ErrorCode::Io, "no free loopback port");
        }
        started = attempt(port);
        if (!started && started.error().code == ErrorCode::Timeout) {
            break;  // a program that hangs would hang again
        }
    }
    return started;
}

}  // namespace vellicor::test
