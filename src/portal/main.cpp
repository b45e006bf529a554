// vellicor-portal [--port P] [--scenario FILE] [--threads N]
//                 [--tls-cert FILE --tls-key FILE [--tls-port P]]
// vellicor-portal --help | --version
// Serves the simulated portal on 127.0.0.1 until SIGINT or SIGTERM.

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/runtime.h"
#include "portal/server.h"
#include "vellicor_version.h"

namespace {

// The one usage text: the error stream gets it for a command line not understood, the
// standard output for --help (and the manual page is made from that).
constexpr const char* kUsage =
    "usage: vellicor-portal [--port P] [--scenario FILE] [--threads N]\n"
    "                       [--tls-cert FILE --tls-key FILE [--tls-port P]]\n"
    "       vellicor-portal --help | --version\n"
    "Serves the simulated game portal and its ticket mall on 127.0.0.1 until SIGINT or\n"
    "SIGTERM, and prints the address it listens on.\n"
    "  --port P          the HTTP port (0, the default: a free one)\n"
    "  --scenario FILE   a JSON scenario: accounts, items, stock, the mall's clock\n"
    "  --threads N       serving threads, 1 to 64 (2 by default)\n"
    "  --tls-cert FILE   certificate (PEM) for a second, TLS listener\n"
    "  --tls-key FILE    its private key (PEM)\n"
    "  --tls-port P      the TLS port (0: a free one)\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

bool parsePort(const std::string& text, std::uint16_t& out) {
    try {
        std::size_t used = 0;
        const unsigned long v = std::stoul(text, &used);
        if (used != text.size() || v > 65535) {
            return false;
        }
        out = static_cast<std::uint16_t>(v);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

bool parseArgs(int argc, char** argv, vellicor::portal::ServerOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--port") {
            if (!parsePort(value, o.port)) {
                return false;
            }
        } else if (arg == "--tls-port") {
            if (!parsePort(value, o.tlsPort)) {
                return false;
            }
        } else if (arg == "--scenario") {
            if (!readFile(value, o.scenarioJson)) {
                std::fprintf(stderr, "cannot read scenario file %s\n", value.c_str());
                return false;
            }
        } else if (arg == "--threads") {
            o.threads = std::atoi(value.c_str());
            if (o.threads < 1 || o.threads > 64) {
                return false;
            }
        } else if (arg == "--tls-cert") {
            o.tlsCertFile = value;
        } else if (arg == "--tls-key") {
            o.tlsKeyFile = value;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (argc == 2 && (first == "--help" || first == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && first == "--version") {
        std::printf("vellicor-portal %s\n", vellicor::kProgramVersion);
        return 0;
    }
    vellicor::portal::ServerOptions options;
    if (!parseArgs(argc, argv, options)) {
        return usage();
    }
    vellicor::raiseDescriptorLimit();
    // Blocked before the io threads start, so that only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto server = vellicor::portal::Server::start(options);
    if (!server.ok()) {
        std::fprintf(stderr, "vellicor-portal: %s\n", server.error().message.c_str());
        return 1;
    }
    std::printf("listening on %s\n", server.value()->baseUrl().c_str());
    if (server.value()->tlsPort() != 0) {
        std::printf("listening on %s\n", server.value()->tlsBaseUrl().c_str());
    }
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    server.value()->stop();
    return 0;
}
