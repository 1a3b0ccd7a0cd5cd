#pragma once

#include <optional>
#include <string_view>

namespace vela {

// How a run ended: exactly one per run, the same word in the window, in velactl's last
// line and in the history.
enum class Verdict {
    Configured,       // the answer counts exactly the image's length
    Rejected,         // another count, or an answer too short to hold one
    HungUp,           // the tracker went away after it identified itself
    WrongCaller,      // a caller with another IMEI (the run goes on waiting)
    NoCall,           // the wait ended before any tracker called
    SmsFailed,        // a modem step failed
    FileRefused,      // the reader refused the configuration file
    ListenFailed,     // the listening port could not be had
    PortChecked,      // the test server called back
    PortCheckFailed,  // the test server could not be reached
    AnswerUnknown,    // the image went out in a session that was cut; no answer came
};

inline constexpr Verdict kAllVerdicts[] = {
    Verdict::Configured,  Verdict::Rejected,        Verdict::HungUp,      Verdict::WrongCaller,
    Verdict::NoCall,      Verdict::SmsFailed,       Verdict::FileRefused, Verdict::ListenFailed,
    Verdict::PortChecked, Verdict::PortCheckFailed, Verdict::AnswerUnknown,
};

inline constexpr std::string_view VerdictWord(Verdict verdict) {
    switch (verdict) {
        case Verdict::Configured:
            return "configured";
        case Verdict::Rejected:
            return "rejected";
        case Verdict::HungUp:
            return "hung-up";
        case Verdict::WrongCaller:
            return "wrong-caller";
        case Verdict::NoCall:
            return "no-call";
        case Verdict::SmsFailed:
            return "sms-failed";
        case Verdict::FileRefused:
            return "file-refused";
        case Verdict::ListenFailed:
            return "listen-failed";
        case Verdict::PortChecked:
            return "port-checked";
        case Verdict::PortCheckFailed:
            return "port-check-failed";
        case Verdict::AnswerUnknown:
            break;
    }
    return "answer-unknown";
}

inline constexpr std::optional<Verdict> VerdictFromWord(std::string_view word) {
    for (Verdict verdict : kAllVerdicts) {
        if (VerdictWord(verdict) == word) return verdict;
    }
    return std::nullopt;
}

// The verdicts that mean the run did what it was for.
inline constexpr bool IsSuccess(Verdict verdict) {
    return verdict == Verdict::Configured || verdict == Verdict::PortChecked;
}

}  // namespace vela
