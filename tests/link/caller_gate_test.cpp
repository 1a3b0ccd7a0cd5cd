#include "link/caller_gate.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

using namespace std::chrono_literals;
using Clock = CallerGate::Clock;

constexpr uint32_t kGuesser = 0x7F000003;  // 127.0.0.3
constexpr uint32_t kTracker = 0x7F00000A;  // 127.0.0.10

// One table: each step is an event at a time (seconds from the start) and what the gate
// says afterwards.
TEST(CallerGateTest, AddressesAreLimitedSlowedForGuessesAndSummedUpInOneLine) {
    CallerPolicy policy;
    policy.sessionsPerAddress = 2;
    policy.unknownBeforeSlowing = 3;
    policy.firstSlowWait = 10s;
    policy.longestSlowWait = 40s;
    policy.summaryEvery = 60s;
    CallerGate gate(policy);
    const Clock::time_point start{};

    enum Event { Admit, Release, Unknown, Known };
    struct Step {
        int second;
        Event event;
        uint32_t address;
        Admission admitted;  // for Admit
        bool reportedAlone;  // for Unknown
    };
    const Step steps[] = {
        {0, Admit, kGuesser, Admission::Admitted, false},
        {0, Admit, kGuesser, Admission::Admitted, false},
        {0, Admit, kGuesser, Admission::TooMany, false},   // two sessions per address
        {0, Admit, kTracker, Admission::Admitted, false},  // others are not held up
        {0, Release, kGuesser, {}, false},
        {0, Admit, kGuesser, Admission::Admitted, false},
        {1, Unknown, kGuesser, {}, true},
        {1, Unknown, kGuesser, {}, true},
        {1, Known, kGuesser, {}, false},  // a served tracker ends the row
        {2, Unknown, kGuesser, {}, true},
        {2, Unknown, kGuesser, {}, true},
        {2, Unknown, kGuesser, {}, true},  // third in a row: slowed 10 s, still shown
        {5, Admit, kGuesser, Admission::Slowed, false},
        {5, Admit, kTracker, Admission::Admitted, false},
        {12, Release, kGuesser, {}, false},
        {12, Admit, kGuesser, Admission::Admitted, false},  // the wait is over
        {12, Unknown, kGuesser, {}, false},                 // now 20 s
        {31, Admit, kGuesser, Admission::Slowed, false},
        {33, Release, kGuesser, {}, false},
        {33, Admit, kGuesser, Admission::Admitted, false},
        {33, Unknown, kGuesser, {}, false},  // 40 s, the longest
        {33, Unknown, kGuesser, {}, false},  // stays 40 s
        {72, Admit, kGuesser, Admission::Slowed, false},
        {73, Admit, kGuesser, Admission::TooMany, false},
    };
    for (const Step& step : steps) {
        const Clock::time_point now = start + std::chrono::seconds(step.second);
        switch (step.event) {
            case Admit:
                EXPECT_EQ(gate.Admit(step.address, now), step.admitted) << "at " << step.second;
                break;
            case Release:
                gate.Release(step.address);
                break;
            case Unknown:
                EXPECT_EQ(gate.UnknownImei(step.address, now), step.reportedAlone)
                    << "at " << step.second;
                break;
            case Known:
                gate.KnownImei(step.address);
                break;
        }
    }
    // One line for the address, however many guesses; the next one after summaryEvery.
    EXPECT_EQ(gate.TakeSummaries(start + 73s),
              std::vector<std::string>{
                  "127.0.0.3: 8 unknown IMEIs in 72 s, slowed (3 calls turned away)"});
    EXPECT_TRUE(gate.TakeSummaries(start + 74s).empty());
    EXPECT_FALSE(gate.NextSummary());
    gate.UnknownImei(kGuesser, start + 75s);
    EXPECT_EQ(gate.NextSummary(), start + 133s);
    EXPECT_EQ(gate.TakeSummaries(start + 76s, /*all=*/true).size(), 1u);
}

TEST(CallerGateTest, OnlyTheAllowListsAddressesAreAdmittedAndCountsReadAsWritten) {
    CallerPolicy policy;
    policy.allowFrom = parseAddressAllowList("10.0.0.0/8").value();
    CallerGate gate(policy);
    EXPECT_EQ(gate.Admit(0x0A000001, {}), Admission::Admitted);
    EXPECT_EQ(gate.Admit(kTracker, {}), Admission::NotAllowed);
    EXPECT_EQ(groupedCount(0), "0");
    EXPECT_EQ(groupedCount(999), "999");
    EXPECT_EQ(groupedCount(5000), "5,000");
    EXPECT_EQ(groupedCount(1234567), "1,234,567");
}

}  // namespace
}  // namespace vela
