#include "app/modem_step.h"

#include "modem/serial_trace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace vela {

namespace {

QString fromBytes(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// VELA_TRACE=FILE: every byte to and from the modem during this program's runs, in one
// owner-only file created at the first run. A port that already carries a trace (velactl
// --trace) keeps it.
void attachEnvironmentTrace(SerialPort& port) {
    static std::unique_ptr<SerialTrace> trace;
    static bool tried = false;
    if (port.trace() != nullptr) return;
    if (!tried) {
        tried = true;
        const char* path = std::getenv("VELA_TRACE");
        if (path == nullptr || *path == '\0') return;
        auto created = SerialTrace::Create(path);
        if (!created) {
            std::fprintf(stderr, "vela: VELA_TRACE: %s\n", created.message().c_str());
            return;
        }
        trace = std::move(created).value();
    }
    port.setTrace(trace.get());
}

}  // namespace

bool SendPushSmsKeepingWindowPainted(MainDialogView& view, SerialPort& port,
                                     const std::string& portName, const std::string& pushMessage,
                                     const DialogueLimits& limits, std::string* failure,
                                     bool* cancelled) {
    attachEnvironmentTrace(port);
    view.SetWaitCursor(true);
    DialogueOutcome outcome;
    std::atomic<bool> finished{false};
    {
        // The port is used by the worker alone until it is joined.
        std::jthread worker([&] {
            outcome = RunSmsDialogue(port, portName, pushMessage, limits);
            finished.store(true, std::memory_order_release);
        });
        view.WaitWhilePainting([&finished] { return finished.load(std::memory_order_acquire); });
    }
    // The box waits for the operator, so it does not show the busy cursor.
    view.SetWaitCursor(false);
    if (cancelled != nullptr) *cancelled = outcome.cancelled;
    if (!outcome.sent && !outcome.cancelled) {
        view.ShowMessageWithReason(fromBytes(outcome.failureText), BoxIcon::Stop,
                                   fromBytes(outcome.reason));
        if (failure != nullptr) {
            *failure = outcome.failureText;
            if (!outcome.reason.empty()) *failure += " (" + outcome.reason + ")";
        }
    }
    return outcome.sent;
}

}  // namespace vela
