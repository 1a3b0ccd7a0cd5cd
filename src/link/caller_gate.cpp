#include "link/caller_gate.h"

#include "common/descriptor_limit.h"

#include <algorithm>
#include <cerrno>

namespace vela {

namespace {

// Addresses remembered at most; idle ones are forgotten first, then the longest quiet.
constexpr std::size_t kMaxRemembered = 16384;
// An address that has not called for this long starts afresh.
constexpr std::chrono::minutes kForgetAfter{30};

}  // namespace

std::string groupedCount(uint64_t count) {
    std::string digits = std::to_string(count);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, 1, ',');
    }
    return digits;
}

CallerGate::CallerGate(CallerPolicy policy) : policy_(std::move(policy)) {}

Admission CallerGate::Admit(uint32_t address, Clock::time_point now) {
    if (!policy_.allowFrom.Allows(address)) return Admission::NotAllowed;
    const auto found = addresses_.find(address);
    if (found != addresses_.end()) {
        AddressState& state = found->second;
        state.lastSeen = now;
        if (now < state.slowedUntil) {
            ++state.turnedAway;
            state.news = true;
            if (!state.summaryDue) state.summaryDue = now;
            return Admission::Slowed;
        }
        if (state.sessions >= policy_.sessionsPerAddress) return Admission::TooMany;
        ++state.sessions;
        return Admission::Admitted;
    }
    if (addresses_.size() >= kMaxRemembered) Forget(now);
    AddressState& state = addresses_[address];
    state.lastSeen = now;
    state.sessions = 1;
    return Admission::Admitted;
}

void CallerGate::Release(uint32_t address) {
    const auto found = addresses_.find(address);
    if (found != addresses_.end() && found->second.sessions > 0) --found->second.sessions;
}

bool CallerGate::UnknownImei(uint32_t address, Clock::time_point now) {
    AddressState& state = addresses_[address];
    state.lastSeen = now;
    if (state.unknown++ == 0) state.firstUnknown = now;
    ++state.inARow;
    const uint64_t free = static_cast<uint64_t>(std::max(policy_.unknownBeforeSlowing, 0));
    if (state.inARow < free) return true;
    // The wait doubles with every unknown IMEI past the free ones.
    auto wait = policy_.firstSlowWait;
    for (uint64_t extra = state.inARow - free; extra > 0 && wait < policy_.longestSlowWait;
         --extra) {
        wait *= 2;
    }
    state.slowedUntil = now + std::min(wait, policy_.longestSlowWait);
    state.news = true;
    if (!state.summaryDue) state.summaryDue = now;
    return state.inARow == free;  // the one that starts the slowing is still shown
}

void CallerGate::KnownImei(uint32_t address) {
    const auto found = addresses_.find(address);
    if (found != addresses_.end()) found->second.inARow = 0;
}

std::string CallerGate::Summary(uint32_t address, const AddressState& state) const {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(state.lastSeen - state.firstUnknown);
    std::string line = formatDottedQuad(address) + ": " + groupedCount(state.unknown) +
                       (state.unknown == 1 ? " unknown IMEI in " : " unknown IMEIs in ") +
                       std::to_string(seconds.count()) + " s, slowed";
    if (state.turnedAway > 0) {
        line += " (" + groupedCount(state.turnedAway) +
                (state.turnedAway == 1 ? " call turned away)" : " calls turned away)");
    }
    return line;
}

std::vector<std::string> CallerGate::TakeSummaries(Clock::time_point now, bool all) {
    std::vector<std::string> lines;
    for (auto& [address, state] : addresses_) {
        if (!state.news || !state.summaryDue || (!all && *state.summaryDue > now)) continue;
        lines.push_back(Summary(address, state));
        state.news = false;
        state.summaryDue = now + policy_.summaryEvery;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::optional<CallerGate::Clock::time_point> CallerGate::NextSummary() const {
    std::optional<Clock::time_point> next;
    for (const auto& [address, state] : addresses_) {
        if (!state.news || !state.summaryDue) continue;
        if (!next || *state.summaryDue < *next) next = state.summaryDue;
    }
    return next;
}

void CallerGate::Forget(Clock::time_point now) {
    // Idle addresses that are quiet for long, and those with nothing left to report.
    std::erase_if(addresses_, [&](const auto& entry) {
        const AddressState& state = entry.second;
        return state.sessions == 0 && !state.news &&
               (now - state.lastSeen >= kForgetAfter || now >= state.slowedUntil);
    });
    if (addresses_.size() < kMaxRemembered) return;
    // Still full: the quietest idle half goes, slowed or not.
    std::vector<std::pair<Clock::time_point, uint32_t>> idle;
    for (const auto& [address, state] : addresses_) {
        if (state.sessions == 0) idle.emplace_back(state.lastSeen, address);
    }
    std::sort(idle.begin(), idle.end());
    for (std::size_t i = 0; i < idle.size() / 2 + 1 && i < idle.size(); ++i) {
        addresses_.erase(idle[i].second);
    }
}

bool AcceptPause::OutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool AcceptPause::Pause(Clock::time_point now) {
    until_ = now + kPause;
    return pauses_++ == 0;
}

std::size_t AcceptPause::Resumed() {
    return std::exchange(pauses_, 0);
}

std::size_t sessionsForDescriptors(std::size_t wanted) {
    const Result<DescriptorRoom> room = reserveDescriptors(wanted);
    if (!room) return std::max<std::size_t>(1, std::min<std::size_t>(wanted, 64));
    return std::max<std::size_t>(1, std::min(wanted, room->free));
}

}  // namespace vela
