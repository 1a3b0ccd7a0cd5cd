// velactl pdu / sms and vela-sim modem, run as the programs they are.
#include "modem/push_message.h"
#include "modem/sms_dialogue.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>

namespace vela {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::runProgram;
using test::TempDir;
using test::toolPath;

constexpr const char* kWorkedExample =
    "0041000B912143658709F100F52306050407D1000000000A3139322e302e322e313013880A696e7465726e65"
    "743a700000";
constexpr const char* kDescription = "356307042441013";

TrackerEntry exampleTracker() {
    TrackerEntry tracker;
    tracker.description = kDescription;
    tracker.phone = "12345678901";
    tracker.pushPort = 2001;
    tracker.apn = "internet";
    tracker.auth = kAuthPap;
    return tracker;
}

ProgramSettings exampleSettings(const std::string& modemPort) {
    ProgramSettings settings;
    settings.externalIp = (192u << 24) | (2u << 8) | 10u;
    settings.externalPort = 5000;
    settings.modemPort = modemPort;
    return settings;
}

void makeDatabase(const TempDir& dir, const ProgramSettings& settings,
                  const TrackerEntry& tracker = exampleTracker()) {
    ASSERT_TRUE(SettingsStore(dir.path()).save(settings).ok());
    TrackerList list;
    list.add(tracker);
    ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
}

// A simulated modem whose line is linked as DIR/modem.
std::unique_ptr<ChildProcess> startModem(const TempDir& dir, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {toolPath("VELA_SIM"), "modem", "--link",
                                     (dir / "modem").string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto modem = std::make_unique<ChildProcess>(argv);
    EXPECT_TRUE(modem->waitForOutput("link: ", 10s)) << modem->output() << modem->errors();
    return modem;
}

std::vector<std::string> sms(const TempDir& dir) {
    return {toolPath("VELACTL"), "sms", "--tracker", kDescription, "--dir", dir.path().string()};
}

TEST(VelactlPdu, PrintsThePduFromOptions) {
    const std::string velactl = toolPath("VELACTL");
    auto r = runProgram({velactl, "pdu", "--phone", "12345678901", "--push-port", "2001", "--ip",
                         "192.0.2.10", "--port", "5000", "--apn", "internet", "--auth", "2"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kWorkedExample) + "\n");

    r = runProgram({velactl, "pdu", "--phone", "12345678901", "--push-port", "0x7D1", "--ip",
                    "192.0.2.10", "--port", "0x1388", "--apn", "internet", "--auth", "2",
                    "--sms-user", "u", "--gprs-password", "pw"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("06050407D100000175"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3a7000027077\n"), std::string::npos) << r.out;

    // D4: refused with the field named, nothing printed as a PDU.
    r = runProgram({velactl, "pdu", "--phone", "1", "--push-port", "70000", "--ip", "192.0.2.10",
                    "--port", "5000", "--apn", "internet", "--auth", "0"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("push port 70000"), std::string::npos) << r.err;

    r = runProgram({velactl, "pdu", "--phone", "1", "--push-port", "1", "--ip", "192.0.2.300",
                    "--port", "5000", "--apn", "internet", "--auth", "0"});
    EXPECT_EQ(r.exitCode, 2);
    r = runProgram({velactl, "pdu", "--phone", "1"});
    EXPECT_EQ(r.exitCode, 2);
}

// Passwords from a file or standard input give the same PDU as on the command line.
TEST(VelactlPdu, PasswordsFromFilesAndNamedAuthentication) {
    const std::string velactl = toolPath("VELACTL");
    const std::vector<std::string> base = {
        velactl,      "pdu",    "--phone", "12345678901", "--push-port", "2001",       "--ip",
        "192.0.2.10", "--port", "5000",    "--apn",       "internet",    "--sms-user", "u"};
    auto with = [&base](std::vector<std::string> extra) {
        std::vector<std::string> argv = base;
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    };
    const auto inline_ = runProgram(with({"--auth", "2", "--gprs-password", "pw"}));
    ASSERT_EQ(inline_.exitCode, 0) << inline_.err;
    TempDir dir;
    std::ofstream(dir / "secret") << "pw\n";
    const auto fromFile =
        runProgram(with({"--auth=pap", "--gprs-password-file", (dir / "secret").string()}));
    EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
    EXPECT_EQ(fromFile.out, inline_.out);
    const auto fromInput = runProgram(with({"--auth", "PAP", "--gprs-password-file", "-"}), 60s,
                                      std::nullopt, std::string("pw\n"));
    EXPECT_EQ(fromInput.exitCode, 0) << fromInput.err;
    EXPECT_EQ(fromInput.out, inline_.out);
    EXPECT_EQ(runProgram(with({"--auth", "bogus"})).exitCode, 2);
    EXPECT_EQ(runProgram(with({"--auth", "pap", "--gprs-password-file", (dir / "none").string()}))
                  .exitCode,
              1);
}

TEST(VelactlPdu, BuildsThePduFromTheDatabase) {
    TempDir dir;
    makeDatabase(dir, exampleSettings("COM3"));
    auto r = runProgram(
        {toolPath("VELACTL"), "pdu", "--tracker", kDescription, "--dir", dir.path().string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kWorkedExample) + "\n");
    r = runProgram(
        {toolPath("VELACTL"), "pdu", "--tracker", "unknown", "--dir", dir.path().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("unknown"), std::string::npos) << r.err;
}

// The end-to-end rehearsal: velactl sms against vela-sim modem, twice on one line.
TEST(VelactlSms, SendsThroughTheSimulatedModem) {
    TempDir dir;
    auto modem = startModem(dir);
    makeDatabase(dir, exampleSettings((dir / "modem").string()));
    for (int round = 1; round <= 2; ++round) {
        const auto r = runProgram(sms(dir), 60s);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("sms: sent to 12345678901"), std::string::npos) << r.out;
        EXPECT_TRUE(modem->waitForOutput("sms: accepted as message " + std::to_string(round), 5s))
            << modem->output();
    }
    const std::string log = modem->output();
    EXPECT_NE(log.find(std::string("pdu: ") + kWorkedExample + "\n"), std::string::npos) << log;
    for (const char* line : {"length: 48 (matches the PDU)", "address: 12345678901 (type 91)",
                             "destination port: 2001", "ip: 192.0.2.10", "port: 5000",
                             "apn: internet:p", "gprs password: \n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    modem->signal(SIGTERM);
    EXPECT_EQ(modem->wait(5s), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "modem")));
}

TEST(VelactlSms, ModemBehavioursGiveTheDialoguesResults) {
    const struct {
        const char* behaviour;
        int exitCode;
        const char* line;
    } cases[] = {
        {"echo", 0, "sms: sent"},
        {"split", 0, "sms: sent"},
        {"slow", 0, "sms: sent"},
        {"silent", 1, "error: Modem was not found, 1st command\n"},
        {"sim-pin", 1, "error: SIM was not found or protected\n"},
        {"notify-ready", 0, "sms: sent"},
        {"cpin-error", 1, "error: SIM was not found or protected\n"},
        {"no-prompt", 1, "error: Could not start sms routine\n"},
        {"no-final-ok", 1, "error: Could not send SMS\n"},
    };
    // All at once: the failing ones wait out the real limits (up to 16 s).
    struct Rig {
        TempDir dir;
        std::unique_ptr<ChildProcess> modem;
        std::unique_ptr<ChildProcess> velactl;
    };
    std::vector<std::unique_ptr<Rig>> rigs;
    for (const auto& c : cases) {
        auto rig = std::make_unique<Rig>();
        rig->modem = startModem(rig->dir, {"--behaviour", c.behaviour});
        makeDatabase(rig->dir, exampleSettings((rig->dir / "modem").string()));
        rig->velactl = std::make_unique<ChildProcess>(sms(rig->dir));
        rigs.push_back(std::move(rig));
    }
    for (size_t i = 0; i < rigs.size(); ++i) {
        SCOPED_TRACE(cases[i].behaviour);
        EXPECT_EQ(rigs[i]->velactl->wait(60s), cases[i].exitCode);
        EXPECT_NE(rigs[i]->velactl->output().find(cases[i].line), std::string::npos)
            << rigs[i]->velactl->output() << rigs[i]->modem->output();
    }
}

// With --delivery-report the network's answer is printed; one that cannot arrive fails.
TEST(VelactlSms, DeliveryReportIsAwaitedAndPrinted) {
    const struct {
        const char* behaviour;
        int exitCode;
        const char* line;
    } cases[] = {
        {"normal", 0, "sms: delivered at "},
        {"report-cdsi", 0, "sms: delivered at "},
        {"undelivered", 1,
         "sms: not delivered: the tracker was unreachable until the message "
         "expired\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        TempDir dir;
        auto modem = startModem(dir, {"--behaviour", c.behaviour});
        makeDatabase(dir, exampleSettings((dir / "modem").string()));
        std::vector<std::string> argv = sms(dir);
        argv.push_back("--delivery-report");
        const auto r = runProgram(argv, 60s);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_NE(r.out.find("sms: sent to 12345678901"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out << modem->output();
        // Only the first octet differs from the message that asks for nothing.
        EXPECT_NE(modem->output().find("pdu: 0061" + std::string(kWorkedExample).substr(4)),
                  std::string::npos)
            << modem->output();
    }
}

// D4 through the whole program: the modem is never touched.
TEST(VelactlSms, RefusesAnOverlongMessageBeforeTheModem) {
    TempDir dir;
    auto modem = startModem(dir);
    TrackerEntry tracker = exampleTracker();
    tracker.apn = std::string(150, 'a');
    makeDatabase(dir, exampleSettings((dir / "modem").string()), tracker);
    const auto r = runProgram(sms(dir), 30s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("error: The wake-up SMS is too long"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("APN"), std::string::npos) << r.out;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(modem->output().find("command:"), std::string::npos) << modem->output();
}

TEST(VelactlSms, UnopenablePortShowsTheTextAndTheCause) {
    TempDir dir;
    makeDatabase(dir, exampleSettings((dir / "no-such-modem").string()));
    const auto r = runProgram(sms(dir), 30s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "error: Could not open selected port\n");
    EXPECT_NE(r.err.find("no-such-modem"), std::string::npos) << r.err;
}

// The behaviours of real modems, through the dialogue: outcome, reason and time. A
// definite error ends the run at once; time-outs use short limits here.
TEST(VelaSimModem, RealModemBehavioursThroughTheDialogue) {
    using Clock = std::chrono::steady_clock;
    const DialogueLimits quick{1000ms, 2000ms};
    const struct {
        const char* behaviour;
        DialogueLimits limits;
        const char* failure;  // empty: sent
        const char* reason;   // the start of the reason
        std::chrono::milliseconds atLeast;
        std::chrono::milliseconds below;
        int report = -1;  // the TP-ST of the report, for a message that asks for one
    } rows[] = {
        {"notify-ready", {}, "", "", 0ms, 1000ms},
        {"sim-busy", {}, "", "", 2000ms, 4000ms},
        {"cms-error",
         {},
         kTextNotSent,
         "the modem answered \"+CMS ERROR: 330\" (SMSC address unknown)",
         0ms,
         1000ms},
        {"cmgf-error", {}, kTextNoPduMode, "the modem answered \"ERROR\"", 0ms, 1000ms},
        {"chatty", {}, "", "", 0ms, 1000ms},
        {"bare-prompt", {}, "", "", 0ms, 1000ms},
        {"cms-500", {}, kTextNotSent, "the modem answered \"+CMS ERROR: 500\"", 0ms, 1000ms},
        {"numeric", quick, kTextNoModem1, "the modem answers with numeric result codes", 1000ms,
         2000ms},
        // Messages that ask for a status report, and how each modem hands it over.
        {"normal", {}, "", "", 0ms, 2000ms, 0x00},
        {"echo", {}, "", "", 0ms, 2000ms, 0x00},
        {"chatty", {}, "", "", 0ms, 2000ms, 0x00},
        {"unsolicited", {}, "", "", 0ms, 2000ms, 0x00},
        {"report-cdsi", {}, "", "", 0ms, 2000ms, 0x00},
        {"report-wrong-memory", {}, "", "", 0ms, 2000ms, 0x00},
        {"undelivered", {}, "", "", 0ms, 3000ms, 0x46},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        TempDir dir;
        auto modem = startModem(dir, {"--behaviour", row.behaviour});
        SerialPort port;
        const auto before = Clock::now();
        const std::string message =
            row.report < 0 ? kWorkedExample : "0061" + std::string(kWorkedExample).substr(4);
        const DialogueOutcome outcome =
            RunSmsDialogue(port, (dir / "modem").string(), message, row.limits);
        const auto took = Clock::now() - before;
        EXPECT_EQ(outcome.report.has_value(), row.report >= 0) << outcome.reportNote;
        if (outcome.report) {
            EXPECT_EQ(outcome.report->status, row.report);
            EXPECT_EQ(outcome.report->recipient, "+12345678901");
        }
        EXPECT_EQ(outcome.sent, *row.failure == '\0')
            << outcome.failureText << ": " << outcome.reason;
        EXPECT_EQ(outcome.failureText, row.failure);
        // An accepted message keeps its reference for the status report.
        EXPECT_EQ(outcome.messageReference.has_value(), outcome.sent);
        EXPECT_EQ(outcome.reason.rfind(row.reason, 0), 0u) << outcome.reason;
        EXPECT_GE(took, row.atLeast);
        EXPECT_LT(took, row.below);
    }
}

// A modem left in its text prompt: the failed run leaves it with ESC, so the next run on
// the same line succeeds.
TEST(VelaSimModem, AModemStuckInThePromptIsFreedForTheNextRun) {
    TempDir dir;
    auto modem = startModem(dir, {"--behaviour", "stuck-prompt"});
    SerialPort port;  // with the real pause between the runs
    const DialogueLimits quick{1000ms, 1000ms};
    const DialogueOutcome first =
        RunSmsDialogue(port, (dir / "modem").string(), kWorkedExample, quick);
    EXPECT_EQ(first.failureText, kTextNotSent);
    EXPECT_EQ(first.reason, "no reply within 1000 ms");
    const DialogueOutcome second =
        RunSmsDialogue(port, (dir / "modem").string(), kWorkedExample, quick);
    EXPECT_TRUE(second.sent) << second.failureText << ": " << second.reason;
    EXPECT_TRUE(modem->waitForOutput("stuck-prompt: left the prompt on ESC", 5s))
        << modem->output();
}

TEST(VelactlModem, CheckReportsTheModemAndWhetherItCanSend) {
    TempDir dir;
    auto modem = startModem(dir);
    makeDatabase(dir, exampleSettings((dir / "modem").string()));
    auto r = runProgram({toolPath("VELACTL"), "modem", "check", "--dir", dir.path().string()}, 30s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "port: " + (dir / "modem").string() +
                         "\nmodel: Vela simulated GSM modem\nsim: READY (ready)\n"
                         "signal: 20,99 (-73 dBm)\nregistration: 0,1 (registered, home network)\n"
                         "service centre: \"+15550100\",145\n");

    TempDir pinDir;
    auto locked = startModem(pinDir, {"--behaviour", "sim-pin"});
    r = runProgram({toolPath("VELACTL"), "modem", "check", "--port=" + (pinDir / "modem").string()},
                   30s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("sim: SIM PIN (not ready)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("the modem cannot send: the SIM is not ready"), std::string::npos)
        << r.err;

    r = runProgram({toolPath("VELACTL"), "modem", "check", "--port", "sda"}, 30s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'sda' is not a serial port name"), std::string::npos) << r.err;
}

// The trace of a run: every byte both ways, owner-only, with the password inside.
TEST(VelactlSms, TraceRecordsBothDirectionsOwnerOnly) {
    TempDir dir;
    auto modem = startModem(dir);
    makeDatabase(dir, exampleSettings((dir / "modem").string()));
    std::vector<std::string> argv = sms(dir);
    argv.push_back("--trace=" + (dir / "trace").string());
    const auto r = runProgram(argv, 60s);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string trace = test::readFile(dir / "trace");
    EXPECT_NE(trace.find(" > ATQ0\\r\\n\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find(" < \\r\\n+CPIN: READY"), std::string::npos) << trace;
    EXPECT_NE(trace.find(std::string(" > ") + kWorkedExample + "\\x1A\\r\\n\n"), std::string::npos)
        << trace;
    EXPECT_EQ(std::filesystem::status(dir / "trace").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// As the network, the modem hands the SMS only to a tracker on loopback.
TEST(VelaSimModem, DeliversOnlyToLoopback) {
    TempDir dir;
    auto modem =
        startModem(dir, {"--deliver", "--tracker-arg", "--imei", "--tracker-arg", kDescription});
    makeDatabase(dir, exampleSettings((dir / "modem").string()));
    auto r = runProgram(sms(dir), 60s);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(modem->waitForOutput("deliver: refused: 192.0.2.10 is not a loopback address", 5s))
        << modem->output();

    ProgramSettings loopback = exampleSettings((dir / "modem").string());
    loopback.externalIp = (127u << 24) | 1u;
    ASSERT_TRUE(SettingsStore(dir.path()).save(loopback).ok());
    r = runProgram(sms(dir), 60s);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(modem->waitForOutput("deliver: tracker started", 5s)) << modem->output();
    EXPECT_NE(modem->output().find("for 127.0.0.1:5000"), std::string::npos) << modem->output();
    // Nothing listens on the port; whether the tracker gives up or is stopped with the
    // modem, its end is reported.
    modem->signal(SIGTERM);
    EXPECT_EQ(modem->wait(10s), 0);
    EXPECT_NE(modem->output().find("tracker: pid "), std::string::npos) << modem->output();
}

}  // namespace
}  // namespace vela
