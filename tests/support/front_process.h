#pragma once
// What the tests' front ends (nginx, Apache httpd, HAProxy) share as programs: found on the
// machine or named by the test, run in a folder of their own on a free loopback port, known
// to be up once that port accepts, and stopped with the whole process group they started.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "front_end.h"
#include "platform/result.h"
#include "temp_folder.h"
#include "wait_until.h"

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

// Lines of a text that hold `part`.
int linesHolding(const std::string& text, const std::string& part);

struct Launch {
    std::string what;               // "nginx", for messages
    std::vector<std::string> argv;  // argv[0] is the binary
    std::string outputFile;         // its standard output and error go there
    int stopSignal = 0;             // asks it to stop; SIGKILL to the group follows if it lingers
};

// A front end program as its folder holds it: how it is run, and which files in the folder
// hold what it says about itself and the requests it took.
struct FrontRun {
    Launch launch;
    std::vector<std::string> errorFiles;
    std::string accessFile;
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

// A front end run as a program of its own, in its own folder, on its own port; the folder
// goes with the object. `Front` names this its friend and provides
// `Launch configure(const std::string& binary)`: it writes its configuration for `port_` into
// the folder and says how to run the program on it.
template <typename Front, typename Options>
class ProgramFront : public FrontEnd {
  public:
    ~ProgramFront() override {
        process_.stop();
        removeFrontFolder(folder_);
    }
    ProgramFront(const ProgramFront&) = delete;
    ProgramFront& operator=(const ProgramFront&) = delete;

    std::uint16_t port() const override { return port_; }
    const std::string& folder() const override { return folder_; }

  protected:
    ProgramFront() = default;

    // `binary` as findProgram found it for `program`: empty fails at once, naming the program.
    // Returns once the front end's port accepts.
    template <typename As = Front>
    static Result<std::unique_ptr<As>> startFront(const Options& options, const std::string& binary,
                                                  const std::string& program) {
        if (binary.empty()) {
            return makeError(
                ErrorCode::Unavailable,
                program + " is not installed" +
                    (options.binary.empty() ? std::string() : " at " + options.binary) +
                    ": run tools/install-deps.sh");
        }
        auto folder = makeFrontFolder("vellicor-" + program);
        if (!folder) {
            return folder.error();
        }
        std::unique_ptr<Front> front(new Front());
        front->options_ = options;
        front->folder_ = *folder;
        auto started =
            startOnFreePort([&](std::uint16_t) { return front->run(binary); }, front->port_);
        if (!started) {
            return started.error();
        }
        return std::unique_ptr<As>(std::move(front));
    }

    // The program's standard output and error go to output.log in the folder.
    Status run(const std::string& binary) {
        Launch launch = static_cast<Front*>(this)->configure(binary);
        launch.outputFile = folder_ + "/output.log";
        return process_.start(launch, port_, [this] { return errorLog(); });
    }

    Options options_;
    std::string folder_;
    std::uint16_t port_ = 0;
    FrontProcess process_;
};

}  // namespace vellicor::test
