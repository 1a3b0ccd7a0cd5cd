#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vela {

// Pure judges of the modem's replies: the text read since a command in, a verdict and
// its reason out. No port I/O here, so each is tested on tables of replies.

enum class StepVerdict { Pending, Success, Failure, SimBusy };

struct StepJudgement {
    StepVerdict verdict = StepVerdict::Pending;
    // For a failure or a busy SIM: the modem's own line and what it means.
    std::string reason;
};

// The final result that ends a command, found as a whole line: "OK", "ERROR",
// "+CME ERROR: n" or "+CMS ERROR: n". Notifications ("RING", "+CMTI: ...", "+CREG: ...")
// and echoed commands are not final results.
enum class FinalKind { Ok, Error, CmeError, CmsError };
struct FinalResult {
    FinalKind kind;
    std::string line;  // as the modem sent it, without the line end
    std::string code;  // the n of +CME/+CMS ERROR (a number, or a text in verbose mode)
};
std::optional<FinalResult> FindFinalResult(std::string_view reply);

// Steps awaiting "OK": the substring "OK\r\n" anywhere in the reply, or an error result;
// whichever comes first decides.
StepJudgement JudgeOkReply(std::string_view reply);
// The SIM state step: an error result fails first (even beside READY), SIM busy asks for
// a retry, "+CPIN: READY" followed by OK succeeds, every other "+CPIN:" state fails.
StepJudgement JudgeSimReply(std::string_view reply);
// The message prompt: '>' at the start of the reply or of a line, with or without its
// space; or an error result at once.
StepJudgement JudgePromptReply(std::string_view reply);

// The message reference of "+CMGS: <mr>[,<scts>]" (0..255), when the reply holds one.
std::optional<int> FindMessageReference(std::string_view reply);

// "SIM not inserted" for "+CME ERROR: 10"; empty for an unknown code.
std::string_view CmeErrorMeaning(std::string_view code);
std::string_view CmsErrorMeaning(std::string_view code);
// The operator's reason for a final error line: the line and, when known, its meaning.
std::string DescribeFinalResult(const FinalResult& result);
// The meaning of a "+CPIN: STATE" other than READY.
std::string DescribeSimState(std::string_view state);

// Why a step ran out of time, from what was read meanwhile: nothing, numeric result
// codes (the modem is in ATV0 mode), or the last line seen.
std::string DescribeTimeout(std::string_view reply, long long limitMs);

// The text of the +CREG registration state, "registered, home network" for 1.
std::string_view RegistrationMeaning(int state);
// dBm for an +CSQ signal value 0..31; nullopt for 99 (unknown) and out of range.
std::optional<int> SignalDbm(int rssi);

}  // namespace vela
