// The command line of `vela-sim fleet`.
#include "common/command_line.h"
#include "common/number.h"
#include "sim_commands.h"
#include "sim_fleet.h"

namespace velasim {
namespace {

const vela::CommandLine& FleetCommandLine() {
    static const vela::CommandLine command =
        vela::CommandLine(
            "vela-sim fleet", "vela-sim fleet [OPTIONS]",
            "Simulated trackers behind simulated modems. Each modem is a 'vela-sim modem' on\n"
            "a pseudo-terminal; an SMS it accepts wakes the tracker with that phone number,\n"
            "which calls the address in the SMS after a random delay. Prints 'seed: S', one\n"
            "'tracker: IMEI PHONE ROLE' line per tracker, then 'modems: PATH...' once\n"
            "ready; then one line per SMS ('sms: ...') and per call ('call: IMEI WORD ...'),\n"
            "and 'summary: ...' at the end. Stops on SIGINT or SIGTERM or after --lifetime.")
            .option("--trackers", "N", "how many trackers (default 10)")
            .option("--modems", "M", "how many modems (default 1)")
            .option("--first-imei", "DIGITS", "first IMEI, counted up (350000000000000)")
            .option("--first-phone", "DIGITS", "first phone number, counted up (37060000000)")
            .option("--delay", "MIN-MAX", "ms from the SMS to the call (default 0-2000)")
            .option("--seed", "N", "seed of roles and delays (default: random)")
            .option("--never-call", "PCT",
                    "share of trackers that never call (their SMS reported delivered)")
            .option("--undelivered", "PCT",
                    "share whose SMS never arrive (reported undeliverable when asked)")
            .option("--reject", "PCT", "share that answer with a wrong length")
            .option("--hang-up", "PCT", "share that hang up without answering")
            .option("--foreign", "PCT", "share that call with an IMEI of no tracker")
            .option("--duplicate", "PCT", "share that call a second time after answering")
            .option("--link", "PREFIX", "modem K also reachable as PREFIX then K")
            .repeatable("--modem-arg", "ARG", "ARG for every 'vela-sim modem'")
            .option("--fail-after", "N", "one modem ends in its first dialogue after N SMS")
            .option("--fail-modem", "K", "the modem --fail-after stops (default 1)")
            .option("--call-timeout", "S", "limit of each call (default 20)")
            .option("--answer-delay", "MS", "ms from the whole image to the answer (default 0)")
            .option("--lifetime", "S", "stop by itself after S seconds (default: never)")
            .option("--csv", "FILE", "write the fleet as a tracker CSV file (owner-only)")
            .option("--expect-xml", "FILE", "every image must equal the encoding of FILE")
            .option("--workers", "N", "calls in progress at once (default 32)");
    return command;
}

}  // namespace

// 0 to run, or the exit status (-1: help printed, exit 0).
int ParseFleetOptions(const Args& args, FleetOptions& options) {
    const vela::CommandLine& command = FleetCommandLine();
    int exitCode = 0;
    const auto parsed = command.parse(args, exitCode);
    if (!parsed) return exitCode == 0 ? -1 : exitCode;

    std::string problem;
    const auto number = [&](const char* name, long low, long high, auto& out) {
        const auto text = parsed->value(name);
        if (!text || !problem.empty()) return;
        const auto value = vela::parseWholeNumber(*text, low, high);
        if (!value) {
            problem = std::string("bad ") + name + " (" + std::to_string(low) + " to " +
                      std::to_string(high) + "): " + *text;
            return;
        }
        out = static_cast<std::remove_reference_t<decltype(out)>>(*value);
    };
    long trackers = static_cast<long>(options.trackers);
    long modems = static_cast<long>(options.modems);
    long failModem = static_cast<long>(options.failModem);
    long failAfter = 0;
    long workers = static_cast<long>(options.workers);
    long seed = 0;
    long callTimeout = options.callTimeout.count();
    long lifetime = 0;
    long answerDelay = 0;
    number("--trackers", 1, 100000, trackers);
    number("--modems", 1, 64, modems);
    number("--fail-modem", 1, 64, failModem);
    number("--fail-after", 1, 1000000, failAfter);
    number("--workers", 1, 1024, workers);
    number("--seed", 0, 2147483647, seed);
    number("--call-timeout", 1, 3600, callTimeout);
    number("--lifetime", 1, 86400, lifetime);
    number("--answer-delay", 0, 600000, answerDelay);
    number("--never-call", 0, 100, options.shares.neverCalls);
    number("--reject", 0, 100, options.shares.rejects);
    number("--hang-up", 0, 100, options.shares.hangsUp);
    number("--foreign", 0, 100, options.shares.foreign);
    number("--duplicate", 0, 100, options.shares.duplicate);
    number("--undelivered", 0, 100, options.shares.undelivered);
    if (const auto delay = parsed->value("--delay"); delay && problem.empty()) {
        const auto dash = delay->find('-');
        const auto low = vela::parseWholeNumber(delay->substr(0, dash), 0, 3600000);
        const auto high = dash == std::string::npos
                              ? low
                              : vela::parseWholeNumber(delay->substr(dash + 1), 0, 3600000);
        if (!low || !high || *low > *high) {
            problem = "bad --delay (MIN-MAX in milliseconds): " + *delay;
        } else {
            options.delayMin = std::chrono::milliseconds(*low);
            options.delayMax = std::chrono::milliseconds(*high);
        }
    }
    if (problem.empty() && failModem > modems) {
        problem = "--fail-modem " + std::to_string(failModem) + " but only " +
                  std::to_string(modems) + " modems";
    }
    if (!problem.empty()) return command.usageError(problem);

    options.trackers = static_cast<std::size_t>(trackers);
    options.modems = static_cast<std::size_t>(modems);
    options.failModem = static_cast<std::size_t>(failModem);
    options.failAfter = static_cast<std::size_t>(failAfter);
    options.workers = static_cast<std::size_t>(workers);
    options.seedGiven = parsed->has("--seed");
    options.seed = static_cast<uint64_t>(seed);
    options.callTimeout = std::chrono::seconds(callTimeout);
    options.answerDelay = std::chrono::milliseconds(answerDelay);
    options.lifetime = std::chrono::seconds(lifetime);
    options.firstImei = parsed->valueOr("--first-imei", options.firstImei);
    options.firstPhone = parsed->valueOr("--first-phone", options.firstPhone);
    options.linkPrefix = parsed->valueOr("--link", "");
    options.modemArgs = parsed->values("--modem-arg");
    options.csvFile = parsed->valueOr("--csv", "");
    options.expectXml = parsed->valueOr("--expect-xml", "");
    return 0;
}

}  // namespace velasim
