#include "modem/sms_dialogue.h"

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
    for (const Step& step : steps) {
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
    return sent;
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
