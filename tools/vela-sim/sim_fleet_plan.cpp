// The fleet's make-up: numbering and the dealing of roles.
#include "sim_fleet.h"

#include <algorithm>
#include <optional>
#include <random>

namespace velasim {
namespace {

// `digits` plus `amount`, keeping the length; nothing when it would need another digit.
std::optional<std::string> AddToDigits(std::string digits, std::size_t amount) {
    for (auto it = digits.rbegin(); it != digits.rend() && amount > 0; ++it) {
        const std::size_t sum = static_cast<std::size_t>(*it - '0') + amount % 10;
        *it = static_cast<char>('0' + sum % 10);
        amount = amount / 10 + sum / 10;
    }
    if (amount > 0) return std::nullopt;
    return digits;
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string_view RoleName(FleetRole role) {
    switch (role) {
        case FleetRole::Normal:
            return "normal";
        case FleetRole::NeverCalls:
            return "never-calls";
        case FleetRole::Rejects:
            return "rejects";
        case FleetRole::HangsUp:
            return "hangs-up";
        case FleetRole::Foreign:
            return "foreign";
        case FleetRole::Duplicate:
            return "duplicate";
        case FleetRole::Undelivered:
            return "undelivered";
    }
    return "?";
}

std::string ForeignImei(const FleetOptions& options, std::size_t index) {
    std::string imei = AddToDigits(options.firstImei, index).value_or(options.firstImei);
    // The fleet's own IMEIs all share the first digit (PlanFleet sees to it).
    imei[0] = imei[0] == '9' ? '8' : '9';
    return imei;
}

vela::Result<std::vector<FleetTracker>> PlanFleet(const FleetOptions& options) {
    if (options.firstImei.size() != 15 || !AllDigits(options.firstImei)) {
        return vela::Result<std::vector<FleetTracker>>::Fail("the first IMEI must be 15 digits: " +
                                                             options.firstImei);
    }
    if (options.firstPhone.size() > 20 || !AllDigits(options.firstPhone)) {
        return vela::Result<std::vector<FleetTracker>>::Fail(
            "the first phone number must be 1 to 20 digits: " + options.firstPhone);
    }
    const std::size_t last = options.trackers == 0 ? 0 : options.trackers - 1;
    const auto lastImei = AddToDigits(options.firstImei, last);
    if (!lastImei || (*lastImei)[0] != options.firstImei[0]) {
        return vela::Result<std::vector<FleetTracker>>::Fail(
            "counting " + std::to_string(options.trackers) + " IMEIs up from " + options.firstImei +
            " runs out of digits");
    }
    if (!AddToDigits(options.firstPhone, last)) {
        return vela::Result<std::vector<FleetTracker>>::Fail(
            "counting " + std::to_string(options.trackers) + " phone numbers up from " +
            options.firstPhone + " runs out of digits");
    }
    const FleetShares& s = options.shares;
    const int special =
        s.neverCalls + s.rejects + s.hangsUp + s.foreign + s.duplicate + s.undelivered;
    if (special > 100) {
        return vela::Result<std::vector<FleetTracker>>::Fail(
            "the shares add up to " + std::to_string(special) + "%, more than the whole fleet");
    }

    // Deal the roles by count, then shuffle who gets which.
    std::vector<FleetRole> roles;
    roles.reserve(options.trackers);
    const auto deal = [&](int percent, FleetRole role) {
        const std::size_t count = options.trackers * static_cast<std::size_t>(percent) / 100;
        roles.insert(roles.end(), count, role);
    };
    deal(s.neverCalls, FleetRole::NeverCalls);
    deal(s.rejects, FleetRole::Rejects);
    deal(s.hangsUp, FleetRole::HangsUp);
    deal(s.foreign, FleetRole::Foreign);
    deal(s.duplicate, FleetRole::Duplicate);
    deal(s.undelivered, FleetRole::Undelivered);
    roles.resize(options.trackers, FleetRole::Normal);
    std::mt19937_64 shuffler(options.seed);
    std::shuffle(roles.begin(), roles.end(), shuffler);

    std::vector<FleetTracker> fleet;
    fleet.reserve(options.trackers);
    for (std::size_t i = 0; i < options.trackers; ++i) {
        fleet.push_back(
            {*AddToDigits(options.firstImei, i), *AddToDigits(options.firstPhone, i), roles[i]});
    }
    return fleet;
}

}  // namespace velasim
