#include "modem/modem_check.h"

#include "common/terminal_text.h"
#include "modem/modem_replies.h"
#include "modem/reply_text.h"

#include <array>
#include <optional>
#include <string_view>

namespace vela {

namespace {

using Clock = std::chrono::steady_clock;

struct Answer {
    std::string reply;
    std::optional<FinalResult> final;  // nothing: no final result in time
};

Answer ask(SerialPort& port, std::string_view command, std::chrono::milliseconds limit) {
    (void)port.Write(command.data(), command.size());
    const auto start = Clock::now();
    Answer answer;
    std::array<char, 1024> buffer{};
    for (;;) {
        const std::size_t n = port.Read(buffer.data(), buffer.size());
        // A diagnosis needs only the start of a reply; a noisy line must not grow it.
        if (answer.reply.size() < 16 * 1024) answer.reply.append(buffer.data(), n);
        answer.final = FindFinalResult(answer.reply);
        if (answer.final) return answer;
        const auto elapsed = Clock::now() - start;
        if (elapsed >= limit) return answer;
        (void)port.WaitForInput(std::chrono::ceil<std::chrono::milliseconds>(limit - elapsed));
    }
}

// The lines of an answer that carry information: neither empty, nor the echoed command,
// nor the final result.
std::vector<std::string> informationLines(const Answer& answer, std::string_view command) {
    std::vector<std::string> lines;
    std::string_view rest = answer.reply;
    const std::string_view echo = command.substr(0, command.find('\r'));
    while (!rest.empty()) {
        const std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        if (line.empty() || line == echo) continue;
        if (FindFinalResult(std::string(line) + "\r\n")) break;
        lines.emplace_back(line);
    }
    return lines;
}

// The value of the first "+NAME: value" line, or nothing.
std::optional<std::string> valueOf(const std::vector<std::string>& lines, std::string_view prefix) {
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            std::string value = line.substr(prefix.size());
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
            return value;
        }
    }
    return std::nullopt;
}

// Why a question got no usable answer.
std::string failureOf(const Answer& answer, std::chrono::milliseconds limit) {
    if (answer.final) return DescribeFinalResult(*answer.final);
    return DescribeTimeout(answer.reply, limit.count());
}

// The n-th comma-separated number of a value ("0,1" -> 1 for n = 1), or nothing.
std::optional<int> numberAt(const std::string& value, int n) {
    std::size_t at = 0;
    for (int i = 0; i < n; ++i) {
        at = value.find(',', at);
        if (at == std::string::npos) return std::nullopt;
        ++at;
    }
    int number = 0;
    std::size_t digits = 0;
    while (at < value.size() && value[at] >= '0' && value[at] <= '9' && digits < 4) {
        number = number * 10 + (value[at++] - '0');
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    return number;
}

// Bytes left on the line by an earlier program (replies it never read, a run killed in
// the middle) would be taken for the answers to come, each one a question late: they are
// read away until the line has been quiet for a moment, within `limit`.
void drainStaleReplies(SerialPort& port, std::chrono::milliseconds limit) {
    constexpr std::chrono::milliseconds kQuiet{100};
    const auto end = Clock::now() + limit;
    std::array<char, 1024> buffer{};
    while (Clock::now() < end) {
        while (port.Read(buffer.data(), buffer.size()) > 0) {
        }
        if (!port.WaitForInput(kQuiet)) return;
    }
}

}  // namespace

ModemCheck CheckModem(SerialPort& port, std::chrono::milliseconds limit) {
    ModemCheck check;
    drainStaleReplies(port, limit);
    auto add = [&check](const char* name, const std::string& value) {
        check.lines.emplace_back(name, EscapeForTerminal(value));
    };
    // Echo off first, so that replies hold only answers; a modem that does not answer
    // this cannot answer the rest.
    const Answer echoOff = ask(port, "ATE0\r\n", limit);
    if (!echoOff.final || echoOff.final->kind != FinalKind::Ok) {
        check.reason = "the modem does not answer: " + failureOf(echoOff, limit);
        return check;
    }

    const Answer model = ask(port, "ATI\r\n", limit);
    std::string modelText;
    for (const std::string& line : informationLines(model, "ATI\r\n")) {
        modelText += (modelText.empty() ? "" : " ") + line;
    }
    add("model", modelText.empty() ? "unknown (" + failureOf(model, limit) + ")" : modelText);

    const Answer sim = ask(port, "AT+CPIN?\r\n", limit);
    const auto simState = valueOf(informationLines(sim, "AT+CPIN?\r\n"), "+CPIN:");
    const bool simReady = simState && *simState == "READY";
    std::string simReason;
    if (simReady) {
        add("sim", "READY (ready)");
    } else if (simState) {
        simReason = DescribeSimState(*simState);
        add("sim", *simState + " (not ready)");
    } else {
        simReason = failureOf(sim, limit);
        add("sim", "unknown (" + simReason + ")");
    }

    const Answer signal = ask(port, "AT+CSQ\r\n", limit);
    if (const auto value = valueOf(informationLines(signal, "AT+CSQ\r\n"), "+CSQ:")) {
        const auto rssi = numberAt(*value, 0);
        const auto dbm = rssi ? SignalDbm(*rssi) : std::nullopt;
        add("signal", *value + (dbm ? " (" + std::to_string(*dbm) + " dBm)" : " (unknown)"));
    } else {
        add("signal", "unknown (" + failureOf(signal, limit) + ")");
    }

    const Answer registration = ask(port, "AT+CREG?\r\n", limit);
    std::optional<int> regState;
    if (const auto value = valueOf(informationLines(registration, "AT+CREG?\r\n"), "+CREG:")) {
        // "+CREG: n,stat[,lac,ci]"; the state is the second number.
        regState = numberAt(*value, 1);
        add("registration",
            *value + " (" + std::string(RegistrationMeaning(regState.value_or(-1))) + ")");
    } else {
        add("registration", "unknown (" + failureOf(registration, limit) + ")");
    }
    const bool registered = regState && (*regState == 1 || *regState == 5);

    const Answer centre = ask(port, "AT+CSCA?\r\n", limit);
    if (const auto value = valueOf(informationLines(centre, "AT+CSCA?\r\n"), "+CSCA:")) {
        add("service centre", *value);
    } else {
        add("service centre", "unknown (" + failureOf(centre, limit) + ")");
    }

    check.canSend = simReady && registered;
    if (!simReady) {
        check.reason = "the SIM is not ready: " + simReason;
    } else if (!registered) {
        check.reason = "the modem is not registered with a network (" +
                       std::string(RegistrationMeaning(regState.value_or(-1))) + ")";
    }
    return check;
}

}  // namespace vela
