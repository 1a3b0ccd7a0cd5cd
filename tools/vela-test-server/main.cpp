// vela-test-server: the port-check server. A client sends one line
// "Hi, i`am=A.B.C.D:PORT@TAG\n"; the server calls A.B.C.D:PORT back and sends 00 0F and
// fifteen capital X's, proving that the port is reachable from where the server runs.
#include "common/number.h"
#include "test_server.h"
#include "unique_fd.h"
#include "vela_version.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using vela::parseWholeNumber;
using velatestserver::ServerOptions;
using velatestserver::TestServer;
using velatestserver::UniqueFd;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: vela-test-server --port N [OPTIONS]\n"
                 "\n"
                 "Reads one line \"Hi, i`am=A.B.C.D:PORT@TAG\\n\" from each client and calls\n"
                 "A.B.C.D:PORT back with 00 0F and fifteen capital X's (17 bytes).\n"
                 "\n"
                 "  --port N               port to listen on (0: any free port; the first output\n"
                 "                         line names it)\n"
                 "  --bind ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
                 "  --read-timeout MS      time a client has to send its line (default 10000)\n"
                 "  --connect-timeout MS   time a call-back may take (default 10000)\n"
                 "  --max-callbacks N      call-backs in progress at once (default 16; more wait)\n"
                 "  --allow-any-callback   UNSAFE: call back any claimed address, not only the\n"
                 "                         sender's own; for rehearsals on a closed network only\n"
                 "  --help                 show this text\n"
                 "  --version              show the version\n"
                 "\n"
                 "By default a call-back goes only to the address the message came from; other\n"
                 "claims are refused and logged, so the server cannot be used to make connections\n"
                 "to third parties. One log line per request on stdout. SIGINT/SIGTERM stop it.\n");
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "vela-test-server: %s\n", text.c_str());
    printUsage(stderr);
    return kExitUsage;
}

// The write end of the self-pipe that wakes the poll loop on SIGINT/SIGTERM.
volatile sig_atomic_t gStopWriteFd = -1;

extern "C" void onStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (gStopWriteFd >= 0) (void)!::write(gStopWriteFd, &byte, 1);
    errno = saved;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    ServerOptions options;
    bool portGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        std::optional<long> value;
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return kExitOk;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("vela-test-server (%s) %s\n", vela::kProgramName, vela::kVersion);
            return kExitOk;
        } else if (arg == "--allow-any-callback") {
            options.allowAnyCallback = true;
        } else if (arg == "--port" || arg == "--bind" || arg == "--read-timeout" ||
                   arg == "--connect-timeout" || arg == "--max-callbacks") {
            if (!hasValue) return usageError(arg + " needs a value");
            const std::string& text = args[++i];
            if (arg == "--bind") {
                options.bindAddress = text;
            } else if (arg == "--port") {
                if (!(value = parseWholeNumber(text, 0, 65535)))
                    return usageError("bad port: " + text);
                options.port = static_cast<uint16_t>(*value);
                portGiven = true;
            } else if (arg == "--max-callbacks") {
                if (!(value = parseWholeNumber(text, 1, 1024))) {
                    return usageError("bad --max-callbacks: " + text);
                }
                options.maxCallbacks = static_cast<std::size_t>(*value);
            } else {
                if (!(value = parseWholeNumber(text, 1, 600000))) {
                    return usageError("bad " + arg + ": " + text);
                }
                (arg == "--read-timeout" ? options.readTimeout : options.connectTimeout) =
                    std::chrono::milliseconds(*value);
            }
        } else {
            return usageError("unknown option: " + arg);
        }
    }
    if (!portGiven) return usageError("--port is required");

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("vela-test-server: pipe");
        return kExitFailure;
    }
    const UniqueFd stopRead(pipeFds[0]);
    const UniqueFd stopWrite(pipeFds[1]);
    gStopWriteFd = stopWrite.get();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TestServer server(options, stdout);
    if (const vela::Status opened = server.Open(); !opened) {
        std::fprintf(stderr, "vela-test-server: %s\n", opened.message().c_str());
        return kExitFailure;
    }
    std::printf("vela-test-server: listening on %s:%u\n", options.bindAddress.c_str(),
                static_cast<unsigned>(server.boundPort()));
    if (options.allowAnyCallback) {
        std::printf("vela-test-server: WARNING: --allow-any-callback calls back any address\n");
    }
    std::fflush(stdout);

    const vela::Status ran = server.Run(stopRead.get());
    gStopWriteFd = -1;
    if (!ran) {
        std::fprintf(stderr, "vela-test-server: %s\n", ran.message().c_str());
        return kExitFailure;
    }
    std::printf("vela-test-server: stopped\n");
    std::fflush(stdout);
    return kExitOk;
}
