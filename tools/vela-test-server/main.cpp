// vela-test-server: the port-check server. A client sends one line
// "Hi, i`am=A.B.C.D:PORT@TAG\n"; the server calls A.B.C.D:PORT back and sends 00 0F and
// fifteen capital X's, proving that the port is reachable from where the server runs.
#include "common/command_line.h"
#include "common/number.h"
#include "common/unique_fd.h"
#include "descriptor_budget.h"
#include "log_sink.h"
#include "test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using vela::UniqueFd;
using velatestserver::LogSink;
using velatestserver::ServerOptions;
using velatestserver::TestServer;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

vela::CommandLine MakeCommandLine() {
    vela::CommandLine line(
        "vela-test-server", "vela-test-server --port N [OPTIONS]",
        "Reads one line \"Hi, i`am=A.B.C.D:PORT@TAG\\n\" from each client and calls\n"
        "A.B.C.D:PORT back with 00 0F and fifteen capital X's (17 bytes).");
    line.option("--port", "N", "port to listen on (0: any free one)")
        .option("--bind", "ADDR", "IPv4 address to listen on (default 127.0.0.1)")
        .option("--first-byte-timeout", "MS", "time to the first byte (default 3000)")
        .option("--read-timeout", "MS", "time to the whole line (default 5000)")
        .option("--connect-timeout", "MS", "time a call-back may take (default 3000)")
        .option("--max-callbacks", "N", "call-backs at once (default 128; more wait)")
        .option("--max-clients", "N", "connections held at once (default 8192)")
        .option("--max-clients-per-address", "N", "the same per address (default 4)")
        .option("--max-callbacks-per-address", "N",
                "call-backs queued or running per address\n"
                "                              (default 2)")
        .flag("--allow-any-callback", "UNSAFE: call back any address at all")
        .epilog(
            "By default a call-back goes only to the address the message came from; other\n"
            "claims are refused, so the server cannot be used to make connections to third\n"
            "parties (--allow-any-callback is for rehearsals on a closed network only).\n"
            "--max-callbacks may use at most half of the free descriptors; --max-clients is\n"
            "reduced to what the descriptor limit allows, and when it is full the oldest\n"
            "connection makes way. A client refused for a limit gets one line\n"
            "\"refused: REASON\" before the close; nothing else is ever sent to a client.\n"
            "One log line per request on stdout, the first naming the address; a stalled\n"
            "output drops lines (and says how many) rather than stalling the server.\n"
            "SIGINT, SIGTERM, SIGHUP and SIGQUIT stop it; SIGUSR1 and SIGUSR2 are ignored.");
    return line;
}

// The write end of the self-pipe that wakes the event loop on a stop signal.
volatile sig_atomic_t gStopWriteFd = -1;

extern "C" void onStopSignal(int signalNumber) {
    const int saved = errno;
    const char byte = static_cast<char>(signalNumber);
    if (gStopWriteFd >= 0) (void)!::write(gStopWriteFd, &byte, 1);
    errno = saved;
}

const char* SignalName(int signalNumber) {
    switch (signalNumber) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "a signal";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const vela::CommandLine commandLine = MakeCommandLine();
    int exitCode = kExitOk;
    const auto parsed =
        commandLine.parse(std::vector<std::string>(argv + 1, argv + argc), exitCode);
    if (!parsed) return exitCode;

    ServerOptions options;
    // Reads a whole number option within [low, high]; false (usage printed) when bad.
    const auto number = [&](const char* name, long low, long high, auto& slot) {
        const auto text = parsed->value(name);
        if (!text) return true;
        const auto value = vela::parseWholeNumber(*text, low, high);
        if (!value) {
            exitCode = commandLine.usageError(std::string("bad ") + name + ": " + *text);
            return false;
        }
        slot = static_cast<std::remove_reference_t<decltype(slot)>>(*value);
        return true;
    };
    if (!parsed->has("--port")) return commandLine.usageError("--port is required");
    long firstByteMs = options.firstByteTimeout.count();
    long readMs = options.readTimeout.count();
    long connectMs = options.connectTimeout.count();
    if (!number("--port", 0, 65535, options.port) ||
        !number("--first-byte-timeout", 1, 600000, firstByteMs) ||
        !number("--read-timeout", 1, 600000, readMs) ||
        !number("--connect-timeout", 1, 600000, connectMs) ||
        !number("--max-callbacks", 1, 65536, options.maxCallbacks) ||
        !number("--max-clients", 1, 1000000, options.maxClients) ||
        !number("--max-clients-per-address", 1, 1000000, options.maxClientsPerAddress) ||
        !number("--max-callbacks-per-address", 1, 65536, options.maxCallbacksPerAddress)) {
        return exitCode;
    }
    options.firstByteTimeout = std::chrono::milliseconds(firstByteMs);
    options.readTimeout = std::chrono::milliseconds(readMs);
    options.connectTimeout = std::chrono::milliseconds(connectMs);
    options.bindAddress = parsed->valueOr("--bind", options.bindAddress);
    // A wrong address is a usage error like any other bad value, not a failed start.
    if (in_addr parsedAddress{};
        inet_pton(AF_INET, options.bindAddress.c_str(), &parsedAddress) != 1)
        return commandLine.usageError("bad --bind: " + options.bindAddress +
                                      " (an IPv4 address A.B.C.D)");
    options.allowAnyCallback = parsed->has("--allow-any-callback");

    const auto budget = velatestserver::PlanDescriptors(options.maxClients, options.maxCallbacks,
                                                        parsed->has("--max-callbacks"));
    if (!budget) return commandLine.usageError(budget.message());
    options.maxCallbacks = budget->maxCallbacks;
    options.maxClients = budget->maxClients;

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
    for (int stopSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(stopSignal, &action, nullptr);
    for (int ignored : {SIGPIPE, SIGUSR1, SIGUSR2}) std::signal(ignored, SIG_IGN);

    LogSink log(STDOUT_FILENO);
    TestServer server(options, log);
    if (const vela::Status opened = server.Open(); !opened) {
        std::fprintf(stderr, "vela-test-server: %s\n", opened.message().c_str());
        return kExitFailure;
    }
    log.Line("vela-test-server: listening on " + options.bindAddress + ":" +
             std::to_string(server.boundPort()));
    log.Line("vela-test-server: up to " + std::to_string(options.maxClients) + " clients and " +
             std::to_string(options.maxCallbacks) + " call-backs at once (descriptor limit " +
             std::to_string(budget->limit) + ")");
    if (options.allowAnyCallback) {
        log.Line("vela-test-server: WARNING: --allow-any-callback calls back any address");
    }

    const vela::Status ran = server.Run(stopRead.get());
    gStopWriteFd = -1;
    if (!ran) {
        log.FlushWithin(std::chrono::seconds(1));
        std::fprintf(stderr, "vela-test-server: %s\n", ran.message().c_str());
        return kExitFailure;
    }
    char received = 0;
    if (::read(stopRead.get(), &received, 1) == 1) {
        log.Line(std::string("vela-test-server: stopping on ") + SignalName(received));
    }
    log.Final("vela-test-server: stopped");
    log.FlushWithin(std::chrono::seconds(2));
    return kExitOk;
}
