#pragma once
// The memory benchmarks run the headless command as a child against the simulator in a
// process of its own, so that what they read is the command's own peak and nothing of theirs.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace vellicor::bench {

// Runs `args` (the program first) with its output thrown away; its peak resident set in KiB,
// or -1. posix_spawn, not fork: a forked copy of this process would count towards the child's
// peak before it runs the program.
inline long childPeakKib(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return -1;
    }
    return usage.ru_maxrss;
}

// Starts the simulator program on a free port with a scenario file; its address, or "" when
// it did not say one. `pid` is the child's, for the caller to end.
inline std::string startPortalProcess(const char* program, const std::string& scenarioFile,
                                      pid_t& pid) {
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(program, program, "--port", "0", "--scenario", scenarioFile.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(out[0]);
    const auto at = line.find("http://");
    return at == std::string::npos ? std::string() : line.substr(at);
}

}  // namespace vellicor::bench
