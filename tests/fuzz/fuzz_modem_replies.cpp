// The modem reply judges on arbitrary bytes: no crash, no read past the reply, and the
// verdicts keep their rules (an error line never counts as success, reasons are printable).
#include "modem/modem_replies.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void checkPrintable(const std::string& text) {
    for (const char c : text) {
        // Control characters never; letters of UTF-8 pass through the escaper.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    for (auto judge : {vela::JudgeOkReply, vela::JudgeSimReply, vela::JudgePromptReply}) {
        const vela::StepJudgement judged = judge(reply);
        checkPrintable(judged.reason);
    }
    // A reply made only of an error result is never a success.
    if (reply == "\r\nERROR\r\n" &&
        vela::JudgeOkReply(reply).verdict == vela::StepVerdict::Success) {
        std::abort();
    }
    checkPrintable(vela::DescribeTimeout(reply, 6000));
    if (const auto final = vela::FindFinalResult(reply))
        checkPrintable(vela::DescribeFinalResult(*final));
    return 0;
}
