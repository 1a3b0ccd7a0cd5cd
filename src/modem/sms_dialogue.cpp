#include "modem/sms_dialogue.h"

#include "modem/push_message.h"
#include "modem/reply_text.h"

#include <array>
#include <string_view>

namespace vela {

namespace {

using Clock = std::chrono::steady_clock;

enum class Outcome { kSuccess, kFailure, kPending };

// Decides a step from everything read since its command was written.
using Judge = Outcome (*)(std::string_view reply);

bool contains(std::string_view reply, std::string_view text) {
    return reply.find(text) != std::string_view::npos;
}

Outcome awaitOk(std::string_view reply) {
    return contains(reply, "OK\r\n") ? Outcome::kSuccess : Outcome::kPending;
}

// An ERROR anywhere fails even when READY came too; a SIM that wants a PIN fails as
// a missing one does: the program never enters a PIN.
Outcome awaitSimReady(std::string_view reply) {
    if (contains(reply, "ERROR\r\n")) return Outcome::kFailure;
    if (contains(reply, "READY\r\n\r\nOK\r\n")) return Outcome::kSuccess;
    if (contains(reply, "SIM PIN\r\n\r\nOK\r\n")) return Outcome::kFailure;
    return Outcome::kPending;
}

Outcome awaitPrompt(std::string_view reply) {
    return contains(reply, "> ") ? Outcome::kSuccess : Outcome::kPending;
}

// Reads and judges until the step is decided or `limit` has passed since `start`.
// Each round reads and judges before it looks at the time, so a reply read in the
// same round as the limit still counts; between rounds it sleeps on the port for the
// time left instead of spinning. Judging after every read is also what keeps the
// bounded reply text exact.
bool awaitReply(SerialPort& port, Judge judge, Clock::time_point start,
                std::chrono::milliseconds limit) {
    ReplyText reply;
    std::array<char, 1024> buffer{};
    for (;;) {
        const std::size_t n = port.Read(buffer.data(), buffer.size());
        reply.append(buffer.data(), n);
        const Outcome outcome = judge(reply.view());
        if (outcome != Outcome::kPending) return outcome == Outcome::kSuccess;
        const auto elapsed = Clock::now() - start;
        if (elapsed >= limit) return false;
        port.WaitForInput(std::chrono::ceil<std::chrono::milliseconds>(limit - elapsed));
    }
}

}  // namespace

bool SendPushSms(SerialPort& port, const std::string& portName, std::string pushMessage,
                 ModemDialogueUi& ui, const DialogueLimits& limits) {
    ui.SetWaitCursor(true);
    const Clock::time_point dialogueStart = Clock::now();
    auto fail = [&ui](const char* text) {
        ui.ShowModemError(text);
        ui.SetWaitCursor(false);
        return false;
    };

    (void)port.Open(portName);
    if (!port.IsOpen()) return fail(kTextPortNotOpened);

    const std::string cmgs = "AT+CMGS=" + std::to_string(CmgsLength(pushMessage)) + "\r\n";
    pushMessage += '\x1A';
    pushMessage += "\r\n";

    struct Step {
        std::string_view bytes;
        Judge judge;
        std::chrono::milliseconds limit;
        const char* failure;
    };
    const std::array<Step, 6> steps{{
        {"ATQ0\r\n", awaitOk, limits.shortStep, kTextNoModem1},
        {"ATE0\r\n", awaitOk, limits.shortStep, kTextNoModem2},
        {"AT+CMGF=0\r\n", awaitOk, limits.longStep, kTextNoPduMode},
        {"AT+CPIN?\r\n", awaitSimReady, limits.longStep, kTextSimProblem},
        {cmgs, awaitPrompt, limits.shortStep, kTextNoPrompt},
        {pushMessage, awaitOk, limits.longStep, kTextNotSent},
    }};
    bool first = true;
    for (const Step& step : steps) {
        // A failed write shows up as the step's time-out.
        (void)port.Write(step.bytes.data(), step.bytes.size());
        // The first limit runs from before the port was opened, so the opening (and
        // the pause for a port still open) counts against it.
        const Clock::time_point start = first ? dialogueStart : Clock::now();
        first = false;
        if (!awaitReply(port, step.judge, start, step.limit)) return fail(step.failure);
    }
    ui.SetWaitCursor(false);
    return true;
}

}  // namespace vela
