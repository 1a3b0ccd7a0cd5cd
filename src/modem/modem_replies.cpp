#include "modem/modem_replies.h"

#include "common/ascii.h"

#include "common/terminal_text.h"

#include <algorithm>
#include <vector>

namespace vela {

namespace {

struct CodeMeaning {
    std::string_view code;
    std::string_view meaning;
};

// Equipment errors (+CME ERROR) most often met while sending an SMS.
constexpr CodeMeaning kCmeMeanings[] = {
    {"0", "phone failure"},
    {"3", "operation not allowed"},
    {"4", "operation not supported"},
    {"5", "PH-SIM PIN required"},
    {"10", "SIM not inserted"},
    {"11", "SIM PIN required"},
    {"12", "SIM PUK required"},
    {"13", "SIM failure"},
    {"14", "SIM busy"},
    {"15", "SIM wrong"},
    {"16", "incorrect password"},
    {"17", "SIM PIN2 required"},
    {"18", "SIM PUK2 required"},
    {"20", "memory full"},
    {"30", "no network service"},
    {"31", "network timeout"},
    {"32", "network not allowed, emergency calls only"},
    {"100", "unknown error"},
};

// Message service errors (+CMS ERROR): network causes below 128, modem causes above.
constexpr CodeMeaning kCmsMeanings[] = {
    {"1", "unassigned number"},
    {"8", "operator determined barring"},
    {"10", "call barred"},
    {"21", "short message transfer rejected"},
    {"27", "destination out of service"},
    {"28", "unidentified subscriber"},
    {"29", "facility rejected"},
    {"30", "unknown subscriber"},
    {"38", "network out of order"},
    {"41", "temporary failure"},
    {"42", "congestion"},
    {"47", "resources unavailable"},
    {"50", "requested facility not subscribed"},
    {"69", "requested facility not implemented"},
    {"96", "invalid mandatory information"},
    {"111", "protocol error"},
    {"300", "modem failure"},
    {"301", "SMS service of the modem reserved"},
    {"302", "operation not allowed"},
    {"303", "operation not supported"},
    {"304", "invalid PDU mode parameter"},
    {"305", "invalid text mode parameter"},
    {"310", "SIM not inserted"},
    {"311", "SIM PIN required"},
    {"312", "PH-SIM PIN required"},
    {"313", "SIM failure"},
    {"314", "SIM busy"},
    {"315", "SIM wrong"},
    {"316", "SIM PUK required"},
    {"320", "memory failure"},
    {"322", "memory full"},
    {"330", "SMSC address unknown"},
    {"331", "no network service"},
    {"332", "network timeout"},
    {"500", "unknown error"},
};

std::string_view lookUp(const CodeMeaning* begin, const CodeMeaning* end, std::string_view code) {
    const auto* found =
        std::find_if(begin, end, [&](const CodeMeaning& row) { return row.code == code; });
    return found == end ? std::string_view() : found->meaning;
}

struct Line {
    std::string_view text;  // without its line end, trimmed
    std::size_t end;        // offset just past the line end
};

// The complete lines of a reply (ended by CR or LF), empty ones left out. A tail without
// its line end is still arriving and is not judged yet.
std::vector<Line> completeLines(std::string_view reply) {
    std::vector<Line> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] != '\r' && reply[i] != '\n') continue;
        const std::string_view text = TrimBlanks(reply.substr(start, i - start));
        if (!text.empty()) lines.push_back({text, i + 1});
        start = i + 1;
    }
    return lines;
}

std::optional<FinalResult> asFinalResult(std::string_view line) {
    if (line == "OK") return FinalResult{FinalKind::Ok, std::string(line), {}};
    if (line == "ERROR") return FinalResult{FinalKind::Error, std::string(line), {}};
    for (const auto& [prefix, kind] :
         {std::pair{std::string_view("+CME ERROR"), FinalKind::CmeError},
          std::pair{std::string_view("+CMS ERROR"), FinalKind::CmsError}}) {
        if (line.substr(0, prefix.size()) != prefix) continue;
        std::string_view rest = line.substr(prefix.size());
        if (rest.empty()) return FinalResult{kind, std::string(line), {}};
        if (rest.front() != ':') continue;
        return FinalResult{kind, std::string(line), std::string(TrimBlanks(rest.substr(1)))};
    }
    return std::nullopt;
}

bool isError(const FinalResult& result) {
    return result.kind != FinalKind::Ok;
}

bool isSimBusy(const FinalResult& result) {
    return (result.kind == FinalKind::CmeError &&
            (result.code == "14" || result.code == "SIM busy")) ||
           (result.kind == FinalKind::CmsError &&
            (result.code == "314" || result.code == "SIM busy"));
}

// The first error result among the complete lines, with the offset past it.
std::optional<std::pair<FinalResult, std::size_t>> firstError(std::string_view reply) {
    for (const Line& line : completeLines(reply)) {
        std::optional<FinalResult> result = asFinalResult(line.text);
        if (result && isError(*result)) return std::pair{std::move(*result), line.end};
    }
    return std::nullopt;
}

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<FinalResult> FindFinalResult(std::string_view reply) {
    for (const Line& line : completeLines(reply)) {
        if (std::optional<FinalResult> result = asFinalResult(line.text)) return result;
    }
    return std::nullopt;
}

std::string_view CmeErrorMeaning(std::string_view code) {
    return lookUp(std::begin(kCmeMeanings), std::end(kCmeMeanings), code);
}

std::string_view CmsErrorMeaning(std::string_view code) {
    return lookUp(std::begin(kCmsMeanings), std::end(kCmsMeanings), code);
}

std::string DescribeFinalResult(const FinalResult& result) {
    std::string text = "the modem answered \"" + EscapeForTerminal(result.line) + "\"";
    std::string_view meaning;
    if (result.kind == FinalKind::CmeError) meaning = CmeErrorMeaning(result.code);
    if (result.kind == FinalKind::CmsError) meaning = CmsErrorMeaning(result.code);
    if (!meaning.empty()) text += " (" + std::string(meaning) + ")";
    return text;
}

std::string DescribeSimState(std::string_view state) {
    std::string text = "the modem answered \"+CPIN: " + EscapeForTerminal(state) + "\"";
    if (state == "SIM PIN") {
        text += " (the SIM asks for its PIN; Vela never enters one: remove the PIN in a phone)";
    } else if (state == "SIM PUK") {
        text += " (the SIM is blocked and asks for its PUK)";
    } else if (state == "PH-SIM PIN" || state == "PH-NET PIN") {
        text += " (the modem is locked to another SIM or network)";
    } else {
        text += " (the SIM is not ready)";
    }
    return text;
}

StepJudgement JudgeOkReply(std::string_view reply) {
    const std::size_t ok = reply.find("OK\r\n");
    const auto error = firstError(reply);
    // Whichever ended first decides: an error result no longer waits out the limit.
    if (error && (ok == std::string_view::npos || error->second <= ok)) {
        return {StepVerdict::Failure, DescribeFinalResult(error->first)};
    }
    if (ok != std::string_view::npos) return {StepVerdict::Success, {}};
    return {};
}

StepJudgement JudgeSimReply(std::string_view reply) {
    // An error anywhere fails the step, even beside READY; a busy SIM alone is asked again.
    std::optional<FinalResult> busy;
    for (const Line& line : completeLines(reply)) {
        std::optional<FinalResult> result = asFinalResult(line.text);
        if (!result || !isError(*result)) continue;
        if (!isSimBusy(*result)) return {StepVerdict::Failure, DescribeFinalResult(*result)};
        if (!busy) busy = std::move(result);
    }
    if (reply.find("ERROR\r\n") != std::string_view::npos) {
        return {StepVerdict::Failure, "the modem answered with an error"};
    }
    if (reply.find("READY\r\n\r\nOK\r\n") != std::string_view::npos)
        return {StepVerdict::Success, {}};
    if (reply.find("SIM PIN\r\n\r\nOK\r\n") != std::string_view::npos) {
        return {StepVerdict::Failure, DescribeSimState("SIM PIN")};
    }
    // Line by line: the first SIM state decides; READY needs its OK, which may come after
    // notification lines.
    bool ready = false;
    for (const Line& line : completeLines(reply)) {
        constexpr std::string_view kState = "+CPIN:";
        if (!ready && line.text.substr(0, kState.size()) == kState) {
            const std::string_view state = TrimBlanks(line.text.substr(kState.size()));
            if (state != "READY") return {StepVerdict::Failure, DescribeSimState(state)};
            ready = true;
        } else if (ready && line.text == "OK") {
            return {StepVerdict::Success, {}};
        }
    }
    if (busy) return {StepVerdict::SimBusy, DescribeFinalResult(*busy)};
    return {};
}

// The prompt: '>' at the start of the reply or of a line, with or without its space
// (modems differ, and some put blank lines before it).
bool hasPrompt(std::string_view reply) {
    for (std::size_t at = reply.find('>'); at != std::string_view::npos;
         at = reply.find('>', at + 1)) {
        if (at == 0 || reply[at - 1] == '\n' || reply[at - 1] == '\r') return true;
    }
    return false;
}

StepJudgement JudgePromptReply(std::string_view reply) {
    if (hasPrompt(reply)) return {StepVerdict::Success, {}};
    if (const auto error = firstError(reply)) {
        return {StepVerdict::Failure, DescribeFinalResult(error->first)};
    }
    return {};
}

std::optional<int> FindMessageReference(std::string_view reply) {
    for (const Line& line : completeLines(reply)) {
        std::string_view text = line.text;
        if (text.substr(0, 6) != "+CMGS:") continue;
        text.remove_prefix(6);
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
        int reference = 0;
        std::size_t digits = 0;
        while (digits < text.size() && digits < 3 && text[digits] >= '0' && text[digits] <= '9') {
            reference = reference * 10 + (text[digits] - '0');
            ++digits;
        }
        const bool whole = digits == text.size() || text[digits] == ',';
        if (digits > 0 && whole && reference <= 255) return reference;
    }
    return std::nullopt;
}

std::string DescribeTimeout(std::string_view reply, long long limitMs) {
    const std::string within = " within " + std::to_string(limitMs) + " ms";
    const std::vector<Line> lines = completeLines(reply);
    if (lines.empty()) {
        if (TrimBlanks(reply).empty()) return "no reply" + within;
        return "no complete reply" + within + "; read: \"" + EscapeForTerminal(reply) + "\"";
    }
    const bool numeric = std::all_of(lines.begin(), lines.end(), [](const Line& line) {
        return allDigits(line.text) || line.text.substr(0, 2) == "AT";
    });
    if (numeric && std::any_of(lines.begin(), lines.end(),
                               [](const Line& line) { return allDigits(line.text); })) {
        return "the modem answers with numeric result codes (\"" +
               EscapeForTerminal(lines.back().text) +
               "\"), not words; set it to verbose result codes with ATV1 and store that with "
               "AT&W";
    }
    return "no awaited reply" + within + "; last line read: \"" +
           EscapeForTerminal(lines.back().text) + "\"";
}

std::string_view RegistrationMeaning(int state) {
    switch (state) {
        case 0:
            return "not registered, not searching";
        case 1:
            return "registered, home network";
        case 2:
            return "not registered, searching";
        case 3:
            return "registration denied";
        case 5:
            return "registered, roaming";
        default:
            return "unknown";
    }
}

std::optional<int> SignalDbm(int rssi) {
    if (rssi < 0 || rssi > 31) return std::nullopt;
    return -113 + 2 * rssi;
}

}  // namespace vela
