#include "modem/push_message.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

constexpr const char* kWorkedExample =
    "0041000B912143658709F100F52306050407D1000000000A3139322e302e322e313013880A696e7465726e65"
    "743a700000";

TrackerEntry exampleTracker() {
    TrackerEntry tracker;
    tracker.phone = "12345678901";
    tracker.pushPort = 2001;
    tracker.apn = "internet";
    tracker.auth = kAuthPap;
    return tracker;
}

ProgramSettings exampleSettings() {
    ProgramSettings settings;
    settings.externalIp = (192u << 24) | (0u << 16) | (2u << 8) | 10u;
    settings.externalPort = 5000;
    return settings;
}

std::string build(const TrackerEntry& tracker,
                  const ProgramSettings& settings = exampleSettings()) {
    const Result<std::string> pdu = BuildPushMessage(tracker, settings);
    EXPECT_TRUE(pdu.ok()) << pdu.message();
    return pdu.ok() ? *pdu : std::string();
}

TEST(PushMessage, WorkedExampleMatchesByteForByte) {
    const std::string pdu = build(exampleTracker());
    EXPECT_EQ(pdu, kWorkedExample);
    EXPECT_EQ(pdu.size(), 98u);
    EXPECT_EQ(CmgsLength(pdu), 48);
}

// Asking for a status report changes the first octet of the SMS-SUBMIT only.
TEST(PushMessage, AStatusReportRequestSetsTpSrrAndNothingElse) {
    const Result<std::string> asked = BuildPushMessage(exampleTracker(), exampleSettings(), true);
    ASSERT_TRUE(asked.ok()) << asked.message();
    std::string expected = build(exampleTracker());
    ASSERT_EQ(expected.substr(2, 2), "41");
    expected.replace(2, 2, "61");
    EXPECT_EQ(asked.value(), expected);
}

TEST(PushMessage, AddressDigitsAreSwappedInPairsAndPaddedWhenOdd) {
    TrackerEntry tracker = exampleTracker();
    tracker.phone = "1234567890";
    EXPECT_EQ(build(tracker).substr(6, 14), "0A912143658709");
    tracker.phone = "123";
    // The length counts the digits without the filler.
    EXPECT_EQ(build(tracker).substr(6, 8), "039121F3");
    tracker.phone = "";
    EXPECT_EQ(build(tracker).substr(6, 8), "009100F5");
}

TEST(PushMessage, EmptyFieldsGiveZeroLengthsAndAWholeMessage) {
    TrackerEntry tracker;
    tracker.phone = "44";
    ProgramSettings settings;
    settings.externalIp = 0;
    settings.externalPort = 0;
    // UD: header 7, four empty fields, "0.0.0.0" (1 + 7), port 2, empty APN 1, two empty 2.
    EXPECT_EQ(build(tracker, settings),
              "00410002914400F5"
              "16"
              "06050400000000"
              "0000"
              "07302e302e302e30"
              "0000"
              "00"
              "0000");
}

TEST(PushMessage, AuthenticationModeSuffixesTheApn) {
    TrackerEntry tracker = exampleTracker();
    const std::string apnHex = HexEncode("internet");
    const struct {
        int32_t auth;
        std::string field;
    } cases[] = {{kAuthNone, "08" + apnHex},
                 {kAuthChap, "0A" + apnHex + "3a63"},
                 {kAuthPap, "0A" + apnHex + "3a70"},
                 {7, "08" + apnHex},
                 {-1, "08" + apnHex}};
    for (const auto& c : cases) {
        tracker.auth = c.auth;
        const std::string pdu = build(tracker);
        EXPECT_NE(pdu.find("1388" + c.field + "0000"), std::string::npos) << "auth " << c.auth;
        EXPECT_EQ(std::stoi(pdu.substr(26, 2), nullptr, 16) * 2, static_cast<int>(pdu.size()) - 28)
            << "user data length, auth " << c.auth;
    }
}

TEST(PushMessage, HighBytesAreTwoLowerCaseDigitsOfTheirUnsignedValue) {
    EXPECT_EQ(HexEncode(""), "");
    EXPECT_EQ(HexEncode(std::string("\x8a\xff\x00\x41", 4)), "8aff0041");

    TrackerEntry tracker = exampleTracker();
    tracker.smsUser = "\xe9t\xc3\xa9";
    tracker.gprsPassword = std::string(1, '\x80');
    const std::string pdu = build(tracker);
    EXPECT_NE(pdu.find("06050407D1000004e974c3a9"), std::string::npos);
    EXPECT_EQ(pdu.substr(pdu.size() - 6), "000180");
    EXPECT_EQ(pdu.substr(26, 2), "28");  // 35 + 4 + 1 octets
    EXPECT_EQ(CmgsLength(pdu), 53);
}

// D4: a message that does not fit into one SMS, or a port that does not fit into two
// octets, is refused with a text that names the field.
TEST(PushMessage, RefusesUserDataBeyondOneSms) {
    TrackerEntry tracker = exampleTracker();
    // The example carries 35 octets with an APN field of 10 characters; 105 more fill
    // the SMS exactly.
    tracker.apn = "internet" + std::string(105, 'a');
    const std::string full = build(tracker);
    EXPECT_EQ(full.substr(26, 2), "8C");  // 140
    EXPECT_EQ(CmgsLength(full), 153);

    tracker.apn += 'a';
    Result<std::string> refused = BuildPushMessage(tracker, exampleSettings());
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.message().find("141"), std::string::npos) << refused.message();
    EXPECT_NE(refused.message().find("APN"), std::string::npos) << refused.message();

    tracker = exampleTracker();
    tracker.gprsPassword = std::string(300, 'p');
    refused = BuildPushMessage(tracker, exampleSettings());
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.message().find("GPRS password"), std::string::npos) << refused.message();
}

TEST(PushMessage, RefusesPortsOutsideTwoOctets) {
    TrackerEntry tracker = exampleTracker();
    ProgramSettings settings = exampleSettings();
    tracker.pushPort = 0;
    settings.externalPort = 65535;
    const std::string edge = build(tracker, settings);
    EXPECT_NE(edge.find("06050400000000"), std::string::npos);
    EXPECT_NE(edge.find("3130FFFF"), std::string::npos);

    for (int32_t bad : {-1, 65536, 70000}) {
        tracker.pushPort = bad;
        Result<std::string> refused = BuildPushMessage(tracker, exampleSettings());
        ASSERT_FALSE(refused.ok());
        EXPECT_NE(refused.message().find("push port " + std::to_string(bad)), std::string::npos)
            << refused.message();
    }
    tracker.pushPort = 2001;
    settings.externalPort = 65536;
    Result<std::string> refused = BuildPushMessage(tracker, settings);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.message().find("external port 65536"), std::string::npos)
        << refused.message();
}

TEST(PushMessage, RefusesAPhoneNumberLongerThanAnAddressHolds) {
    TrackerEntry tracker = exampleTracker();
    tracker.phone = std::string(20, '9');
    EXPECT_EQ(build(tracker).substr(6, 4), "1491");
    tracker.phone += '9';
    Result<std::string> refused = BuildPushMessage(tracker, exampleSettings());
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.message().find("phone number"), std::string::npos) << refused.message();
}

// Each character of the number becomes a semi-octet as it stands: anything but a digit
// would put a character that is not hexadecimal into the PDU (found by the fuzzer with
// "+37060000000").
TEST(PushMessage, RefusesAPhoneNumberWithAnythingButDigits) {
    TrackerEntry tracker = exampleTracker();
    const struct {
        std::string phone;
        const char* shown;
    } rows[] = {{"+37060000000", "'+'"},
                {"3706 0000000", "' '"},
                {"37060O00000", "'O'"},
                {"3706000000A", "'A'"},
                {std::string("3706\0", 5), "0x00"},
                {"3706\xE9", "0xE9"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shown);
        tracker.phone = row.phone;
        Result<std::string> refused = BuildPushMessage(tracker, exampleSettings());
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.message(), "The phone number holds the character " +
                                         std::string(row.shown) +
                                         "; it must hold only the digits of the international "
                                         "number, without \"+\"; the wake-up SMS was not sent.");
    }
    tracker.phone = "0123456789";
    EXPECT_EQ(build(tracker).substr(6, 14), "0A911032547698");
}

}  // namespace
}  // namespace vela
