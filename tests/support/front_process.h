#pragma once
// What the tests' front ends (nginx, Apache httpd, HAProxy) share as programs: found on the
// machine or named by the test, run in a folder of their own on a free loopback port, known
// to be up once that port accepts, and stopped with the whole process group they started.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vellicor::test {

// `named` when it is given (a missing file is then an error, not a reason to look further),
// else $envVar, else `program` on PATH, else the first of `known` that is there; empty when
// none is executable.
std::string findProgram(const std::string& named, const char* envVar, const std::string& program,
                        std::initializer_list<const char*> known);

// A fresh folder under the system's temporary one, readable by the workers a program run
// as root hands its connections to.
Result<std::string> makeFrontFolder(const std::string& prefix);
void removeFrontFolder(const std::string& folder);

std::string readText(const std::string& path);
// Until `done` holds, looking every few milliseconds, for what gives no signal to wait on
// (a program's log file, the simulator's request log). False when the bound passed first.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound);
// Lines of a text that hold `part`.
int linesHolding(const std::string& text, const std::string& part);

struct Launch {
    std::string what;               // "nginx", for messages
    std::vector<std::string> argv;  // argv[0] is the binary
    std::string outputFile;         // its standard output and error go there
    int stopSignal = 0;             // asks it to stop; SIGKILL to the group follows if it lingers
};

class FrontProcess {
  public:
    FrontProcess() = default;
    ~FrontProcess();
    FrontProcess(const FrontProcess&) = delete;
    FrontProcess& operator=(const FrontProcess&) = delete;

    // Starts the program and returns once `port` accepts. An exit at start or a port that
    // stays closed is an error holding `log()` (the program's own account of it).
    Status start(const Launch& launch, std::uint16_t port, const std::function<std::string()>& log);
    void stop();
    bool running() const { return pid_ > 0; }

  private:
    Status waitUntilAccepting(std::uint16_t port, const std::function<std::string()>& log);

    Launch launch_;
    pid_t pid_ = -1;
};

// Runs `attempt` with a fresh free port until one starts: a port found free can be taken by
// someone else before the program binds it.
Status startOnFreePort(const std::function<Status(std::uint16_t port)>& attempt,
                       std::uint16_t& port);

}  // namespace vellicor::test
