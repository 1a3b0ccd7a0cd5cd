#pragma once

#include "app/main_dialog_view.h"
#include "modem/sms_dialogue.h"

#include <string>

namespace vela {

// The modem dialogue of "Let's Go", run so that the window keeps painting: the dialogue
// blocks a worker thread while the handler waits in the view's pause (repaints only, no
// input, no socket notification), so no run starts twice and the desktop never sees a
// frozen window. The wait cursor shows throughout; a failure is shown afterwards on the
// handler's thread as the step's box with the reason as its details. True when the modem
// accepted the message. On failure `failure` (when given) receives the step's text and
// the modem's own reason, for the run's record. A dialogue ended through `limits.cancel`
// shows no box and sets `cancelled` (when given).
bool SendPushSmsKeepingWindowPainted(MainDialogView& view, SerialPort& port,
                                     const std::string& portName, const std::string& pushMessage,
                                     const DialogueLimits& limits, std::string* failure = nullptr,
                                     bool* cancelled = nullptr);

}  // namespace vela
