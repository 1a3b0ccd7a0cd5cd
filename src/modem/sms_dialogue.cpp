#include "modem/sms_dialogue.h"

#include "modem/delivery_reports.h"
#include "modem/modem_replies.h"
#include "modem/push_message.h"
#include "modem/reply_text.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <thread>

namespace vela {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Decides a step from everything read since its command was written.
using Judge = StepJudgement (*)(std::string_view reply);

// Reads and judges until the step is decided or `limit` has passed since `start`.
// Each round reads and judges before it looks at the time, so a reply read in the
// same round as the limit still counts; between rounds it sleeps on the port for the
// time left instead of spinning. Judging after every read is also what keeps the
// bounded reply text exact. A busy SIM is asked again every `simBusyRetry`.
StepJudgement awaitReply(SerialPort& port, std::string_view command, Judge judge,
                         DialogueClock::TimePoint start, milliseconds limit,
                         const DialogueLimits& limits, DialogueClock& clock,
                         std::string* successReply = nullptr) {
    ReplyText reply;
    std::array<char, 1024> buffer{};
    std::string busyReason;
    DialogueClock::TimePoint lastWrite = clock.Now();
    for (;;) {
        if (limits.cancel != nullptr && limits.cancel->load()) {
            return {StepVerdict::Failure, kTextStoppedByOperator};
        }
        const std::size_t n = port.Read(buffer.data(), buffer.size());
        reply.append(buffer.data(), n);
        StepJudgement judgement = judge(reply.view());
        if (judgement.verdict == StepVerdict::Success && successReply != nullptr) {
            *successReply = std::string(reply.view());
        }
        if (judgement.verdict == StepVerdict::Success ||
            judgement.verdict == StepVerdict::Failure) {
            return judgement;
        }
        const auto elapsed = clock.Now() - start;
        if (elapsed >= limit) {
            return {StepVerdict::Failure,
                    busyReason.empty() ? DescribeTimeout(reply.view(), limit.count()) : busyReason};
        }
        if (judgement.verdict == StepVerdict::SimBusy) {
            busyReason = std::move(judgement.reason);
            const auto retryAt = lastWrite + limits.simBusyRetry;
            const auto pause = std::min(retryAt - clock.Now(), limit - elapsed);
            if (pause.count() > 0) clock.Sleep(std::chrono::ceil<milliseconds>(pause));
            if (clock.Now() - start >= limit) continue;  // out of time: fail with the reason
            reply = ReplyText();
            lastWrite = clock.Now();
            (void)port.Write(command.data(), command.size());
            continue;
        }
        milliseconds wait = std::chrono::ceil<milliseconds>(limit - elapsed);
        if (limits.cancel != nullptr) wait = std::min(wait, limits.cancelPoll);
        clock.WaitForInput(port, wait);
    }
}

// The port, the limits and the clock of one dialogue, for its commands beyond the six.
struct Line {
    SerialPort& port;
    const DialogueLimits& limits;
    DialogueClock& clock;

    // Writes `command` and awaits its OK (or an error) within the short step's limit.
    StepJudgement command(std::string_view bytes, std::string* reply = nullptr) {
        (void)port.Write(bytes.data(), bytes.size());
        return awaitReply(port, bytes, JudgeOkReply, clock.Now(), limits.shortStep, limits, clock,
                          reply);
    }
};

std::string_view commandName(std::string_view bytes) {
    return bytes.substr(0, bytes.find('\r'));
}

// How the modem hands status reports over: the <ds> that was set (0: not at all), or
// why none could be.
struct Routing {
    int ds = 0;
    std::string note;
};

// Asks what AT+CNMI offers and sets the first choice the modem takes: reports on the
// line (<ds>=1), else stored and announced (<ds>=2).
Routing routeReports(Line& line) {
    std::string offered;
    StepJudgement asked = line.command("AT+CNMI=?\r\n", &offered);
    if (asked.verdict != StepVerdict::Success) {
        return {0,
                "the modem routes no status reports to the line (AT+CNMI=?: " + asked.reason + ")"};
    }
    const std::optional<CnmiOffer> offer = ParseCnmiOffer(offered);
    const std::vector<CnmiChoice> choices = offer ? ChooseCnmi(*offer) : std::vector<CnmiChoice>();
    if (choices.empty()) {
        return {0,
                "the modem offers no status-report indications (AT+CNMI=? gave no <ds> of 1 "
                "or 2)"};
    }
    std::string refusals;
    for (const CnmiChoice& choice : choices) {
        StepJudgement set = line.command(choice.command);
        if (set.verdict == StepVerdict::Success) return {choice.ds, {}};
        refusals += std::string(refusals.empty() ? "" : "; ") +
                    std::string(commandName(choice.command)) + ": " + set.reason;
    }
    return {0, "the modem refused every status-report indication (" + refusals + ")"};
}

// Reads the report stored at `index` of the announced memory, or of "SR" and "SM" when
// the modem announced the wrong one, and deletes it once read.
std::optional<std::string> readStoredReport(Line& line, const std::string& memory, int index) {
    const std::string at = std::to_string(index);
    for (const std::string& where : ReportMemories(memory)) {
        if (line.command("AT+CPMS=\"" + where + "\"\r\n").verdict != StepVerdict::Success) continue;
        std::string reply;
        if (line.command("AT+CMGR=" + at + "\r\n", &reply).verdict != StepVerdict::Success)
            continue;
        const std::optional<std::string> pdu = FindReadPdu(reply);
        if (!pdu || !DecodeStatusReport(*pdu)) continue;
        (void)line.command("AT+CMGD=" + at + "\r\n");
        return pdu;
    }
    return std::nullopt;
}

// Reads the port after the accepted message until the report for `reference` says
// delivered or failed, or the wait is over. `text` holds what was read after the OK.
void awaitReport(Line& line, int reference, std::string text, DialogueOutcome& outcome) {
    const DialogueLimits& limits = line.limits;
    const DialogueClock::TimePoint start = line.clock.Now();
    std::array<char, 1024> buffer{};
    for (;;) {
        if (limits.cancel != nullptr && limits.cancel->load()) break;
        text.append(buffer.data(), line.port.Read(buffer.data(), buffer.size()));
        std::size_t judged = 0;
        for (const ReportNotice& notice : FindReportNotices(text)) {
            judged = notice.end;
            std::optional<std::string> pdu = notice.pdu;
            if (notice.index >= 0) pdu = readStoredReport(line, notice.memory, notice.index);
            if (!pdu) continue;
            Result<StatusReport> report = DecodeStatusReport(*pdu);
            // Reports for earlier messages may still come in: only this one's counts.
            if (!report || report.value().messageReference != reference) continue;
            outcome.report = std::move(report).value();
            if (outcome.report->state != DeliveryState::Trying) return;
        }
        text.erase(0, judged);
        // Streams of status lines must not make the text grow without end.
        if (text.size() > 2 * ReplyText::kKeep) text.erase(0, text.size() - ReplyText::kKeep);
        const auto elapsed = line.clock.Now() - start;
        if (elapsed >= limits.reportWait) break;
        milliseconds wait = std::chrono::ceil<milliseconds>(limits.reportWait - elapsed);
        if (limits.cancel != nullptr) wait = std::min(wait, limits.cancelPoll);
        line.clock.WaitForInput(line.port, wait);
    }
    if (outcome.report) return;  // still trying when the wait ended
    outcome.reportNote =
        limits.cancel != nullptr && limits.cancel->load()
            ? "stopped by the operator before a report came"
            : "no status report within " + std::to_string(limits.reportWait.count()) + " ms";
}

DialogueOutcome Failed(DialogueStage stage, bool cancelled, const char* text, std::string reason) {
    DialogueOutcome outcome;
    outcome.stage = stage;
    outcome.cancelled = cancelled;
    outcome.failureText = text;
    outcome.reason = std::move(reason);
    return outcome;
}

}  // namespace

DialogueClock::TimePoint DialogueClock::Now() {
    return Clock::now();
}

void DialogueClock::WaitForInput(SerialPort& port, milliseconds limit) {
    (void)port.WaitForInput(limit);
}

void DialogueClock::Sleep(milliseconds length) {
    std::this_thread::sleep_for(length);
}

DialogueOutcome RunSmsDialogue(SerialPort& port, const std::string& portName,
                               std::string pushMessage, const DialogueLimits& limits) {
    DialogueClock steadyClock;
    DialogueClock& clock = limits.clock != nullptr ? *limits.clock : steadyClock;
    const DialogueClock::TimePoint dialogueStart = clock.Now();

    if (const Status opened = port.Open(portName); !opened || !port.IsOpen()) {
        return Failed(DialogueStage::PortNotOpened, false, kTextPortNotOpened, opened.message());
    }

    const bool reports = AsksForStatusReport(pushMessage);
    const std::string cmgs = "AT+CMGS=" + std::to_string(CmgsLength(pushMessage)) + "\r\n";
    pushMessage += '\x1A';
    pushMessage += "\r\n";

    struct Step {
        std::string_view bytes;
        Judge judge;
        milliseconds limit;
        const char* failure;
    };
    const std::array<Step, 6> steps{{
        {"ATQ0\r\n", JudgeOkReply, limits.shortStep, kTextNoModem1},
        {"ATE0\r\n", JudgeOkReply, limits.shortStep, kTextNoModem2},
        {"AT+CMGF=0\r\n", JudgeOkReply, limits.longStep, kTextNoPduMode},
        {"AT+CPIN?\r\n", JudgeSimReply, limits.longStep, kTextSimProblem},
        {cmgs, JudgePromptReply, limits.shortStep, kTextNoPrompt},
        {pushMessage, JudgeOkReply, limits.longStep, kTextNotSent},
    }};
    bool first = true;
    std::string accepted;  // the modem's reply to the message
    Line line{port, limits, clock};
    Routing routing;
    for (const Step& step : steps) {
        if (reports && step.bytes == cmgs) routing = routeReports(line);
        // A failed write shows up as the step's time-out.
        (void)port.Write(step.bytes.data(), step.bytes.size());
        // The first limit runs from before the port was opened, so the opening (and
        // the pause for a port still open) counts against it.
        const DialogueClock::TimePoint start = first ? dialogueStart : clock.Now();
        first = false;
        const bool message = &step == &steps.back();
        StepJudgement judgement = awaitReply(port, step.bytes, step.judge, start, step.limit,
                                             limits, clock, message ? &accepted : nullptr);
        if (judgement.verdict != StepVerdict::Success) {
            // Past the prompt the modem takes every byte as message text until ESC;
            // without it the next run's commands would vanish into the prompt.
            if (message) {
                (void)port.Write("\x1B", 1);
            }
            return Failed(message ? DialogueStage::AfterPrompt : DialogueStage::BeforeMessage,
                          limits.cancel != nullptr && limits.cancel->load(), step.failure,
                          std::move(judgement.reason));
        }
    }
    DialogueOutcome sent;
    sent.sent = true;
    sent.stage = DialogueStage::Accepted;
    sent.messageReference = FindMessageReference(accepted);
    if (!reports) return sent;
    sent.reportAsked = true;
    if (routing.ds == 0) {
        sent.reportNote = std::move(routing.note);
    } else if (!sent.messageReference) {
        sent.reportNote = "the modem gave no message reference to match a report with";
    } else {
        const std::size_t ok = accepted.find("OK\r\n");
        awaitReport(line, *sent.messageReference,
                    ok == std::string::npos ? std::string() : accepted.substr(ok + 4), sent);
    }
    return sent;
}

std::string DeliveryLine(const DialogueOutcome& outcome) {
    const std::optional<StatusReport>& report = outcome.report;
    if (report && report->state == DeliveryState::Delivered) {
        return "delivered at " + report->dischargeTime.clock();
    }
    if (report && report->state == DeliveryState::Failed) {
        return "not delivered: " + DeliveryStatusText(report->status);
    }
    return "not confirmed as delivered: " +
           (report ? DeliveryStatusText(report->status) : outcome.reportNote);
}

bool SendPushSms(SerialPort& port, const std::string& portName, std::string pushMessage,
                 ModemDialogueUi& ui, const DialogueLimits& limits) {
    ui.SetWaitCursor(true);
    const DialogueOutcome outcome = RunSmsDialogue(port, portName, std::move(pushMessage), limits);
    if (!outcome.sent) ui.ShowModemError(outcome.failureText, outcome.reason);
    ui.SetWaitCursor(false);
    return outcome.sent;
}

}  // namespace vela
