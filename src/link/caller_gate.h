#pragma once

// What every listener decides about a caller before it serves it: whether its address
// may call at all, how many sessions it may hold, and whether it is being slowed for
// naming IMEIs that are not served here. Also the pause when descriptors run out. One
// implementation, so a robustness fix is made once for every listener.

#include "common/address_range.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vela {

struct CallerPolicy {
    AddressAllowList allowFrom;  // empty: every address may call
    // Callers from one address not yet identified (a tracker needs one, and identifies
    // itself at once); trackers being served behind one address are not limited here.
    std::size_t sessionsPerAddress = 4;
    // Unknown IMEIs an address may name in a row (a served tracker ends the row) before
    // it is slowed; each later one doubles the wait between its sessions, from
    // firstSlowWait up to longestSlowWait. A fleet behind one address may name a few
    // by mistake (a second call, a foreign tracker); a guesser names thousands.
    int unknownBeforeSlowing = 5;
    std::chrono::milliseconds firstSlowWait{10000};
    std::chrono::milliseconds longestSlowWait{600000};
    // How often a slowed address's summary line is repeated while it keeps calling.
    std::chrono::milliseconds summaryEvery{60000};
};

enum class Admission {
    Admitted,    // serve it; Release() when its session ends
    NotAllowed,  // outside the allow-list
    TooMany,     // the address holds as many unidentified callers as it may
    Slowed,      // the address named too many unknown IMEIs and waits
};

class CallerGate {
public:
    using Clock = std::chrono::steady_clock;

    explicit CallerGate(CallerPolicy policy = {});

    const CallerPolicy& policy() const { return policy_; }
    // Decides on a new connection from `address` (host order); an admitted one counts
    // against its address until Release (when it identified itself or ended).
    Admission Admit(uint32_t address, Clock::time_point now);
    void Release(uint32_t address);
    // The caller from `address` named an IMEI that is not served here. True while the
    // address is still to be reported caller by caller; later ones are only counted and
    // shown in the address's summary line.
    bool UnknownImei(uint32_t address, Clock::time_point now);
    // A caller from `address` was served: the row of unknown IMEIs ends.
    void KnownImei(uint32_t address);

    // Summary lines that are due ("127.0.0.1: 5,000 unknown IMEIs in 6 s, slowed"), one
    // per slowed address with news since its last line; `all` takes every pending one
    // (the listener is ending).
    std::vector<std::string> TakeSummaries(Clock::time_point now, bool all = false);
    // When TakeSummaries has something next, if ever.
    std::optional<Clock::time_point> NextSummary() const;

    // How many addresses are remembered (bounded).
    std::size_t remembered() const { return addresses_.size(); }

private:
    struct AddressState {
        std::size_t sessions = 0;
        uint64_t unknown = 0;     // unknown IMEIs named
        uint64_t inARow = 0;      // of them since the last served caller
        uint64_t turnedAway = 0;  // connections closed while slowed
        Clock::time_point firstUnknown;
        Clock::time_point lastSeen;
        Clock::time_point slowedUntil;
        bool news = false;  // something happened since the last summary line
        std::optional<Clock::time_point> summaryDue;
    };
    void Forget(Clock::time_point now);
    std::string Summary(uint32_t address, const AddressState& state) const;

    CallerPolicy policy_;
    std::unordered_map<uint32_t, AddressState> addresses_;
};

// Accepting pauses when the process runs out of descriptors instead of waking again and
// again on a connection it cannot take.
class AcceptPause {
public:
    static constexpr std::chrono::milliseconds kPause{250};
    using Clock = std::chrono::steady_clock;

    // True for the errors of accept() that mean "no descriptor, kernel memory".
    static bool OutOfDescriptors(int error);
    // Starts (or continues) a pause; true for the first one since accepting last worked.
    bool Pause(Clock::time_point now);
    // Accepting worked again: the number of pauses it took (0 when there were none).
    std::size_t Resumed();
    bool paused(Clock::time_point now) const { return now < until_; }
    std::optional<Clock::time_point> until(Clock::time_point now) const {
        if (!paused(now)) return std::nullopt;
        return until_;
    }

private:
    Clock::time_point until_{};
    std::size_t pauses_ = 0;
};

// How many sessions fit the descriptor limit: the soft limit is raised (up to the hard
// one) as far as `wanted` sessions need, and the result never exceeds what is free beside
// the descriptors open now and a spare for the program's own use.
std::size_t sessionsForDescriptors(std::size_t wanted);

// "5,000": the count as the operator reads it.
std::string groupedCount(uint64_t count);

}  // namespace vela
