#include "modem/sms_dialogue.h"
#include "scripted_modem.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace vela {
namespace {

using namespace std::chrono_literals;
using test::ReplyPiece;
using test::ScriptedModem;
using Clock = std::chrono::steady_clock;

constexpr const char* kPdu =
    "0041000B912143658709F100F52306050407D1000000000A3139322e302e322e313013880A696e7465726e65"
    "743a700000";

class RecordingUi : public ModemDialogueUi {
public:
    void SetWaitCursor(bool shown) override { cursor.push_back(shown); }
    void ShowModemError(const std::string& text, const std::string& reason) override {
        errors.push_back(text);
        reasons.push_back(reason);
    }
    std::vector<bool> cursor;
    std::vector<std::string> errors;
    std::vector<std::string> reasons;
};

// Short limits keep the failing rows quick; the program uses the defaults.
const DialogueLimits kShort{400ms, 800ms};

const std::vector<std::string> kAllCommands = {"ATQ0\r\n",       "ATE0\r\n",
                                               "AT+CMGF=0\r\n",  "AT+CPIN?\r\n",
                                               "AT+CMGS=48\r\n", std::string(kPdu) + "\x1A\r\n"};

struct DialogueRun {
    bool result;
    RecordingUi ui;
    std::vector<std::string> commands;
    std::string received;
};

DialogueRun runDialogue(ScriptedModem::Responder responder, const DialogueLimits& limits = kShort) {
    ScriptedModem modem(std::move(responder));
    SerialPort port;
    DialogueRun run;
    run.result = SendPushSms(port, modem.path(), kPdu, run.ui, limits);
    EXPECT_TRUE(port.IsOpen());  // left open after success and failure alike
    std::this_thread::sleep_for(20ms);
    run.commands = modem.commands();
    run.received = modem.received();
    return run;
}

TEST(SmsDialogue, SendsTheSixStepsAndSucceeds) {
    DialogueRun run = runDialogue(ScriptedModem::Standard());
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(run.ui.errors.empty());
    EXPECT_EQ(run.ui.cursor, (std::vector<bool>{true, false}));
    EXPECT_EQ(run.commands, kAllCommands);
    // The message ends with Ctrl-Z, CR, LF, and nothing follows it.
    ASSERT_GE(run.received.size(), 3u);
    EXPECT_EQ(run.received.substr(run.received.size() - 3), "\x1A\x0D\x0A");
    EXPECT_EQ(run.received, "ATQ0\r\nATE0\r\nAT+CMGF=0\r\nAT+CPIN?\r\nAT+CMGS=48\r\n" +
                                std::string(kPdu) + "\x1A\r\n");
}

TEST(SmsDialogue, EchoedCommandsAndExtraLinesDoNoHarm) {
    DialogueRun run = runDialogue([](const std::string& command) {
        std::vector<ReplyPiece> reply = ScriptedModem::Standard()(command);
        reply.insert(reply.begin(), ReplyPiece{command.substr(0, command.size() - 1) + "\r\n"});
        reply.push_back({"\r\n+CREG: 1\r\n"});
        return reply;
    });
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(run.ui.errors.empty());
    EXPECT_EQ(run.commands, kAllCommands);
}

TEST(SmsDialogue, RepliesSplitOverSeveralReadsAreJoined) {
    const std::vector<ReplyPiece> ok = {{"\r\nO"}, {"K", 40ms}, {"\r", 40ms}, {"\n", 40ms}};
    DialogueRun run = runDialogue(ScriptedModem::Standard({
        {"ATQ0", ok},
        {"ATE0", ok},
        {"AT+CMGF", ok},
        {"AT+CPIN?", {{"\r\n+CPIN: READ"}, {"Y\r\n", 40ms}, {"\r\nOK", 40ms}, {"\r\n", 40ms}}},
        {"AT+CMGS=", {{"\r\n>"}, {" ", 40ms}}},
        {"PDU", {{"\r\n+CMGS: 3\r\n\r\nO"}, {"K\r\n", 40ms}}},
    }));
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(run.ui.errors.empty());
    EXPECT_EQ(run.commands, kAllCommands);
}

// Each row: the step left without its awaited reply fails with its own text, and the
// dialogue goes no further.
TEST(SmsDialogue, EachStepWithoutItsReplyFailsWithItsText) {
    const struct {
        const char* key;
        const char* text;
    } rows[] = {{"ATQ0", kTextNoModem1},     {"ATE0", kTextNoModem2},
                {"AT+CMGF", kTextNoPduMode}, {"AT+CPIN?", kTextSimProblem},
                {"AT+CMGS=", kTextNoPrompt}, {"PDU", kTextNotSent}};
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].key);
        // "OK" without its line end, or an unrelated line, is not the awaited reply.
        DialogueRun run = runDialogue(ScriptedModem::Standard({{rows[i].key, {{"\r\nOK"}}}}));
        EXPECT_FALSE(run.result);
        EXPECT_EQ(run.ui.errors, std::vector<std::string>{rows[i].text});
        EXPECT_EQ(run.ui.cursor, (std::vector<bool>{true, false}));
        EXPECT_EQ(run.commands,
                  std::vector<std::string>(kAllCommands.begin(),
                                           kAllCommands.begin() + static_cast<long>(i) + 1));
    }
}

TEST(SmsDialogue, UnopenablePortFailsAtOnce) {
    RecordingUi ui;
    SerialPort port;
    EXPECT_FALSE(SendPushSms(port, "/nonexistent/modem", kPdu, ui, kShort));
    EXPECT_EQ(ui.errors, std::vector<std::string>{kTextPortNotOpened});
    EXPECT_EQ(ui.cursor, (std::vector<bool>{true, false}));
    EXPECT_FALSE(port.IsOpen());
}

TEST(SmsDialogue, SimStateReplies) {
    // Long limits: a refusal must end the step at once, not by its time-out.
    const DialogueLimits patient{400ms, 30000ms};
    const struct {
        const char* reply;
        bool ok;
    } cases[] = {
        {"\r\n+CPIN: READY\r\n\r\nOK\r\n", true},
        {"\r\nERROR\r\n", false},
        {"\r\n+CME ERROR\r\n", false},
        {"\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", false},
        // ERROR is tested first, so READY beside it does not save the step.
        {"\r\n+CPIN: READY\r\n\r\nOK\r\n\r\nERROR\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        const auto before = Clock::now();
        DialogueRun run =
            runDialogue(ScriptedModem::Standard({{"AT+CPIN?", {{c.reply}}}}), patient);
        EXPECT_LT(Clock::now() - before, 15000ms);
        EXPECT_EQ(run.result, c.ok);
        if (!c.ok) {
            EXPECT_EQ(run.ui.errors, std::vector<std::string>{kTextSimProblem});
            EXPECT_EQ(run.commands.size(), 4u);
        }
    }
}

// The first limit runs from before the opening, so the pause for a port still open
// from an earlier run leaves less time for the first reply.
TEST(SmsDialogue, ReopenPauseCountsAgainstTheFirstStep) {
    const DialogueLimits limits{1000ms, 2000ms};
    ScriptedModem modem(ScriptedModem::Standard({{"ATQ0", {{"\r\nOK\r\n", 500ms}}}}));
    SerialPort port;
    port.setReopenPause(600ms);
    RecordingUi first;
    EXPECT_TRUE(SendPushSms(port, modem.path(), kPdu, first, limits));
    EXPECT_TRUE(first.errors.empty());
    RecordingUi second;
    EXPECT_FALSE(SendPushSms(port, modem.path(), kPdu, second, limits));
    EXPECT_EQ(second.errors, std::vector<std::string>{kTextNoModem1});
}

// D13: a waiting step sleeps on the port; a dialogue that polled without pause would
// burn a whole core for the length of the wait.
TEST(SmsDialogue, WaitingSleepsInsteadOfSpinning) {
    auto threadCpu = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    ScriptedModem modem([](const std::string&) { return std::vector<ReplyPiece>{}; });
    SerialPort port;
    RecordingUi ui;
    const auto cpuBefore = threadCpu();
    const auto before = Clock::now();
    EXPECT_FALSE(SendPushSms(port, modem.path(), kPdu, ui, {1500ms, 1500ms}));
    const auto wall = Clock::now() - before;
    EXPECT_EQ(ui.errors, std::vector<std::string>{kTextNoModem1});
    EXPECT_GE(wall, 1500ms);
    EXPECT_LT(threadCpu() - cpuBefore, wall / 4);
}

TEST(SmsDialogue, CmgsAnnouncesTheTpduLength) {
    ScriptedModem modem(ScriptedModem::Standard());
    SerialPort port;
    RecordingUi ui;
    const std::string shortPdu =
        "0041000391"
        "21F3"
        "00F5"
        "00";
    EXPECT_TRUE(SendPushSms(port, modem.path(), shortPdu, ui, kShort));
    std::this_thread::sleep_for(20ms);
    const auto commands = modem.commands();
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(commands[4], "AT+CMGS=9\r\n");
    EXPECT_EQ(commands[5], shortPdu + "\x1A\r\n");
}

}  // namespace
}  // namespace vela

namespace vela {
namespace {

using namespace std::chrono_literals;
using test::ReplyPiece;
using test::ScriptedModem;
using Clock = std::chrono::steady_clock;

// A modem's definite answer ends its step at once, even with the program's real limits,
// and the modem's own line becomes the failure's reason.
TEST(SmsDialogue, AnErrorResultFailsItsStepAtOnceWithTheModemsReason) {
    const struct {
        const char* key;
        const char* reply;
        const char* text;
        const char* reason;
    } rows[] = {
        {"AT+CMGF", "\r\nERROR\r\n", kTextNoPduMode, "the modem answered \"ERROR\""},
        {"AT+CPIN?", "\r\n+CME ERROR: 10\r\n", kTextSimProblem,
         "the modem answered \"+CME ERROR: 10\" (SIM not inserted)"},
        {"AT+CPIN?", "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", kTextSimProblem,
         "the modem answered \"+CPIN: SIM PUK\" (the SIM is blocked and asks for its PUK)"},
        {"AT+CMGS=", "\r\n+CMS ERROR: 304\r\n", kTextNoPrompt,
         "the modem answered \"+CMS ERROR: 304\" (invalid PDU mode parameter)"},
        {"PDU", "\r\n+CMS ERROR: 330\r\n", kTextNotSent,
         "the modem answered \"+CMS ERROR: 330\" (SMSC address unknown)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reply);
        ScriptedModem modem(ScriptedModem::Standard({{row.key, {{row.reply}}}}));
        SerialPort port;
        const auto before = Clock::now();
        const DialogueOutcome outcome = RunSmsDialogue(port, modem.path(), kPdu);
        EXPECT_LT(Clock::now() - before, 1000ms);
        EXPECT_FALSE(outcome.sent);
        EXPECT_EQ(outcome.failureText, row.text);
        EXPECT_EQ(outcome.reason, row.reason);
    }
}

// Past the prompt the modem takes every byte as text: a failed message leaves with ESC,
// a failure before the prompt writes nothing more.
TEST(SmsDialogue, AFailureAfterThePromptLeavesItWithEsc) {
    for (const char* key : {"PDU", "AT+CMGS="}) {
        SCOPED_TRACE(key);
        ScriptedModem modem(ScriptedModem::Standard({{key, {{"\r\n+CMS ERROR: 500\r\n"}}}}));
        SerialPort port;
        EXPECT_FALSE(RunSmsDialogue(port, modem.path(), kPdu, kShort).sent);
        std::this_thread::sleep_for(50ms);
        const std::string received = modem.received();
        const std::string end = std::string(key) == "PDU" ? "\x1A\r\n\x1B" : "AT+CMGS=48\r\n";
        ASSERT_GE(received.size(), end.size());
        EXPECT_EQ(received.substr(received.size() - end.size()), end);
    }
}

// A SIM still busy after power-up is asked again every retry pause until it is ready;
// one that stays busy fails at the step's limit with that reason.
TEST(SmsDialogue, ABusySimIsAskedAgainWithinTheLimit) {
    DialogueLimits limits = kShort;
    limits.longStep = 3000ms;
    limits.simBusyRetry = 300ms;
    int asked = 0;
    ScriptedModem modem([&asked](const std::string& command) {
        if (command.rfind("AT+CPIN?", 0) == 0 && ++asked <= 2) {
            return std::vector<ReplyPiece>{{"\r\n+CME ERROR: 14\r\n"}};
        }
        return ScriptedModem::Standard()(command);
    });
    SerialPort port;
    const auto before = Clock::now();
    EXPECT_TRUE(RunSmsDialogue(port, modem.path(), kPdu, limits).sent);
    EXPECT_GE(Clock::now() - before, 600ms);
    const std::vector<std::string> commands = modem.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+CPIN?\r\n"), 3);

    ScriptedModem busy(ScriptedModem::Standard({{"AT+CPIN?", {{"\r\n+CME ERROR: 14\r\n"}}}}));
    limits.longStep = 1000ms;
    port.setReopenPause(0ms);
    const DialogueOutcome outcome = RunSmsDialogue(port, busy.path(), kPdu, limits);
    EXPECT_EQ(outcome.failureText, kTextSimProblem);
    EXPECT_EQ(outcome.reason, "the modem answered \"+CME ERROR: 14\" (SIM busy)");
}

// A clock that jumps over a wait that sees no input: the program's real limits are
// checked without waiting them out. It also notes the waits asked for.
class JumpingClock : public DialogueClock {
public:
    TimePoint Now() override { return Clock::now() + jumped; }
    void WaitForInput(SerialPort& port, std::chrono::milliseconds limit) override {
        waits.push_back(limit);
        // The scripted modem answers at once; silence for a moment is silence for good.
        if (!port.WaitForInput(std::min<std::chrono::milliseconds>(limit, 200ms))) jumped += limit;
    }
    void Sleep(std::chrono::milliseconds length) override { jumped += length; }
    std::chrono::milliseconds jumped{0};
    std::vector<std::chrono::milliseconds> waits;
};

TEST(SmsDialogue, EachStepHasItsRealLimit) {
    const struct {
        const char* key;
        const char* text;
        std::chrono::milliseconds limit;
    } rows[] = {{"ATQ0", kTextNoModem1, 6000ms},      {"ATE0", kTextNoModem2, 6000ms},
                {"AT+CMGF", kTextNoPduMode, 16000ms}, {"AT+CPIN?", kTextSimProblem, 16000ms},
                {"AT+CMGS=", kTextNoPrompt, 6000ms},  {"PDU", kTextNotSent, 16000ms}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        ScriptedModem modem(ScriptedModem::Standard({{row.key, {}}}));
        SerialPort port;
        JumpingClock clock;
        DialogueLimits limits;
        limits.clock = &clock;
        const DialogueOutcome outcome = RunSmsDialogue(port, modem.path(), kPdu, limits);
        EXPECT_EQ(outcome.failureText, row.text);
        EXPECT_EQ(outcome.reason, "no reply within " + std::to_string(row.limit.count()) + " ms");
        ASSERT_FALSE(clock.waits.empty());
        EXPECT_GE(clock.jumped, row.limit);
        EXPECT_LT(clock.jumped, row.limit + 1000ms);
    }
}

// The first limit runs from before the opening: the pause for a port left open by an
// earlier run is taken from the first step's 6000 ms.
TEST(SmsDialogue, TheFirstLimitCountsTheOpening) {
    ScriptedModem modem(ScriptedModem::Standard({{"ATQ0", {}}}));
    SerialPort port;
    ASSERT_TRUE(port.Open(modem.path()).ok());
    port.setReopenPause(300ms);
    JumpingClock clock;
    DialogueLimits limits;
    limits.clock = &clock;
    EXPECT_EQ(RunSmsDialogue(port, modem.path(), kPdu, limits).failureText, kTextNoModem1);
    ASSERT_FALSE(clock.waits.empty());
    EXPECT_LE(clock.waits.front(), 5701ms);
}

}  // namespace
}  // namespace vela

namespace vela {
namespace {

using namespace std::chrono_literals;
using test::ReplyPiece;
using test::ScriptedModem;

// The worked example asking for a status report, and a report for message 7 with a status.
const std::string kAskingPdu = "0061" + std::string(kPdu).substr(4);
std::string reportFor(int reference, const char* status) {
    char mr[3];
    std::snprintf(mr, sizeof mr, "%02X", reference);
    return std::string("0006") + mr + "0B917360000000F56221800151038062218001515380" + status;
}
const std::string kOffer = "\r\n+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)\r\n\r\nOK\r\n";

// Each row a modem's way with status reports, from the offer to the report read.
TEST(SmsDialogue, StatusReportsAsModemsHandThemOver) {
    const struct {
        const char* name;
        std::string offer;                 // the reply to AT+CNMI=?
        std::vector<std::string> refused;  // commands answered ERROR
        std::string afterMessage;          // said on its own after the message's OK
        std::string storedIn;              // the memory that holds report 3
        int status;                        // the report's TP-ST, -1: none
        const char* note;                  // the start of the note when there is none
        const char* lastCommand;
    } rows[] = {
        {"on the line",
         kOffer,
         {},
         "\r\n+CDS: 25\r\n" + reportFor(7, "00") + "\r\n",
         "",
         0x00,
         "",
         "PDU"},
        {"others' first, then trying, then final",
         kOffer,
         {},
         "\r\n+CDS: 25\r\n" + reportFor(6, "00") + "\r\n^RSSI: 17\r\n+CDS: 25\r\n" +
             reportFor(7, "21") + "\r\n+CMTI: \"SM\",2\r\n+CDS: 25\r\n" + reportFor(7, "46") +
             "\r\n",
         "",
         0x46,
         "",
         "PDU"},
        {"stored and announced",
         kOffer,
         {"AT+CNMI=2,1,0,1,0"},
         "\r\n+CDSI: \"SR\",3\r\n",
         "SR",
         0x00,
         "",
         "AT+CMGD=3\r\n"},
        {"announced in the wrong memory",
         kOffer,
         {"AT+CNMI=2,1,0,1,0"},
         "\r\n+CDSI: \"SM\",3\r\n",
         "SR",
         0x62,
         "",
         "AT+CMGD=3\r\n"},
        {"still trying when the wait ends",
         kOffer,
         {},
         "\r\n+CDS: 25\r\n" + reportFor(7, "22") + "\r\n",
         "",
         0x22,
         "",
         "PDU"},
        {"never a report",
         kOffer,
         {},
         "\r\n+CREG: 1\r\n",
         "",
         -1,
         "no status report within 500 ms",
         "PDU"},
        {"no <ds> offered",
         "\r\n+CNMI: (0-2),(0-3),(0,2),(0),(0,1)\r\n\r\nOK\r\n",
         {},
         "",
         "",
         -1,
         "the modem offers no status-report indications",
         "PDU"},
        {"no AT+CNMI at all",
         "\r\nERROR\r\n",
         {},
         "",
         "",
         -1,
         "the modem routes no status reports to the line (AT+CNMI=?: the modem answered "
         "\"ERROR\")",
         "PDU"},
        {"every choice refused",
         kOffer,
         {"AT+CNMI=2,1,0,1,0", "AT+CNMI=2,1,0,2,0"},
         "",
         "",
         -1,
         "the modem refused every status-report indication (AT+CNMI=2,1,0,1,0: the modem "
         "answered \"ERROR\"; AT+CNMI=2,1,0,2,0",
         "PDU"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto memory = std::make_shared<std::string>("SM");
        char status[3];
        std::snprintf(status, sizeof status, "%02X", row.status & 0xFF);
        ScriptedModem modem([&row, memory, status = std::string(status)](const std::string& c) {
            const std::string command = c.substr(0, c.size() - 2);
            if (command == "AT+CNMI=?") return std::vector<ReplyPiece>{{row.offer}};
            if (std::find(row.refused.begin(), row.refused.end(), command) != row.refused.end())
                return std::vector<ReplyPiece>{{"\r\nERROR\r\n"}};
            if (command.rfind("AT+CPMS=\"", 0) == 0) *memory = command.substr(9, 2);
            if (command == "AT+CMGR=3") {
                if (*memory != row.storedIn) return std::vector<ReplyPiece>{{"\r\nOK\r\n"}};
                return std::vector<ReplyPiece>{
                    {"\r\n+CMGR: 0,,25\r\n" + reportFor(7, status.c_str()) + "\r\n\r\nOK\r\n"}};
            }
            if (command.find('\x1A') != std::string::npos) {
                return std::vector<ReplyPiece>{{"\r\n+CMGS: 7\r\n\r\nOK\r\n"},
                                               {row.afterMessage, 50ms}};
            }
            return ScriptedModem::Standard()(c);
        });
        SerialPort port;
        DialogueLimits limits = kShort;
        limits.reportWait = 500ms;
        const DialogueOutcome outcome = RunSmsDialogue(port, modem.path(), kAskingPdu, limits);
        EXPECT_TRUE(outcome.sent) << outcome.failureText << ": " << outcome.reason;
        EXPECT_TRUE(outcome.reportAsked);
        EXPECT_EQ(outcome.report.has_value(), row.status >= 0) << outcome.reportNote;
        if (outcome.report) {
            EXPECT_EQ(outcome.report->status, row.status);
            EXPECT_EQ(outcome.report->messageReference, 7);
            EXPECT_EQ(outcome.reportNote, "");
        } else {
            EXPECT_EQ(outcome.reportNote.rfind(row.note, 0), 0u) << outcome.reportNote;
        }
        std::this_thread::sleep_for(20ms);
        const std::vector<std::string> commands = modem.commands();
        // The indications are set before AT+CMGS, and the message goes out either way.
        const auto cmgs = std::find(commands.begin(), commands.end(), "AT+CMGS=48\r\n");
        ASSERT_NE(cmgs, commands.end());
        EXPECT_EQ((cmgs - 1)->rfind("AT+CNMI", 0), 0u) << *(cmgs - 1);
        ASSERT_FALSE(commands.empty());
        if (std::string(row.lastCommand) == "PDU") {
            EXPECT_EQ(commands.back(), kAskingPdu + "\x1A\r\n");
        } else {
            EXPECT_EQ(commands.back(), row.lastCommand);
        }
    }
}

}  // namespace
}  // namespace vela
