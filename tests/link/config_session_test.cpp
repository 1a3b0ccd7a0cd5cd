// The byte side of the configuration session, without sockets.
#include "link/config_session.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

// Literals may hold zero bytes: their whole length counts.
template <std::size_t N>
ByteString bytes(const char (&text)[N]) {
    return ByteString(text, text + N - 1);
}
ByteString bytes(const std::string& text) {
    return ByteString(text.begin(), text.end());
}

ConfigImage imageStartingWith(uint8_t first, uint8_t second) {
    ConfigImage image;
    image.bytes[0] = first;
    image.bytes[1] = second;
    image.length = 2;
    return image;
}

TEST(ConfigSessionTest, IdentificationComesWithTheSeventeenthByteAndTakesItsLastFifteen) {
    ByteString received;
    const ByteString id = bytes(std::string("\x00\x0F", 2) + "352094081234567");
    EXPECT_EQ(appendReceived(received, std::span(id).first(10), false), ReceiveStep::WaitForMore);
    EXPECT_EQ(appendReceived(received, std::span(id).subspan(10, 6), false),
              ReceiveStep::WaitForMore);
    EXPECT_EQ(appendReceived(received, std::span(id).subspan(16), false), ReceiveStep::Identify);
    EXPECT_EQ(callerImei(received), "352094081234567");

    // Bytes that come with the identification are not part of it: the first 17 identify.
    ByteString longer;
    const ByteString twenty = bytes(std::string("\x00\x0F", 2) + "352094081234567" + "\x01" + "AB");
    std::size_t ignored = 0;
    EXPECT_EQ(appendReceived(longer, twenty, false, &ignored), ReceiveStep::Identify);
    EXPECT_EQ(callerImei(longer), "352094081234567");
    EXPECT_EQ(ignored, 3u);
    // Zero bytes are data like any other.
    ByteString zeros;
    EXPECT_EQ(appendReceived(zeros, ByteString(17, 0), false), ReceiveStep::Identify);
    EXPECT_EQ(callerImei(zeros), std::string(15, '\0'));
}

TEST(ConfigSessionTest, AfterTheImageAnyDataIsTheAnswer) {
    ByteString received;
    EXPECT_EQ(appendReceived(received, {}, true), ReceiveStep::Answer);
    EXPECT_EQ(appendReceived(received, bytes("\x01"), true), ReceiveStep::Answer);
}

TEST(ConfigSessionTest, ReceivedDataStaysBoundedWhateverComes) {
    ByteString received;
    const ByteString flood(1 << 20, '9');
    EXPECT_EQ(appendReceived(received, flood, false), ReceiveStep::Identify);
    EXPECT_LE(received.size(), kReceiveChunk + kIdentificationLength);
    EXPECT_EQ(callerImei(received), std::string(15, '9'));

    ByteString answer;
    const ByteString head = bytes("\x01\xAB\xCD");
    appendReceived(answer, head, true);
    appendReceived(answer, flood, true);
    EXPECT_LE(answer.size(), kReceiveChunk);
    EXPECT_EQ(formatAnswer(answer, imageStartingWith(0xAB, 0xCD)), "ABCD (ABCD) Bytes");
}

TEST(ConfigSessionTest, TheTestServerIsFifteenCapitalXs) {
    EXPECT_TRUE(isTestServer("XXXXXXXXXXXXXXX"));
    EXPECT_FALSE(isTestServer("xxxxxxxxxxxxxxx"));
    EXPECT_FALSE(isTestServer("XXXXXXXXXXXXXX"));
    EXPECT_FALSE(isTestServer(std::string("XXXXXXXXXXXXXX\0", 15)));
}

TEST(ConfigSessionTest, LengthTextsUseUpperCaseHexAndDashesForMissingBytes) {
    const ConfigImage small = imageStartingWith(0x00, 0x0F);
    EXPECT_EQ(formatImageLength(imageStartingWith(0x01, 0xF4)), "01F4 Bytes");
    EXPECT_EQ(formatImageLength(small), "000F Bytes");
    EXPECT_EQ(formatAnswer(bytes("\x01\x00\x0F"), small), "000F (000F) Bytes");
    EXPECT_EQ(formatAnswer(bytes("\x01\xab\xcd\xef"), imageStartingWith(0x01, 0xF4)),
              "ABCD (01F4) Bytes");
    EXPECT_EQ(formatAnswer(bytes("\x01\x00"), small), "00-- (000F) Bytes");
    EXPECT_EQ(formatAnswer(bytes("\x01"), small), "---- (000F) Bytes");
    EXPECT_EQ(formatAnswer({}, small), "---- (000F) Bytes");
}

TEST(ConfigSessionTest, AnImeiIsShownEscapedSoNoByteReachesTheTerminalRaw) {
    EXPECT_EQ(displayImei("352094081234567"), "352094081234567");
    EXPECT_EQ(displayImei(std::string("35\n\x1b[2J\0\x7F"
                                      "9",
                                      10)),
              "35\\n\\x1B[2J\\x00\\x7F9");
    EXPECT_EQ(displayImei("\xE9t\\"), "\\xE9t\\\\");
}

}  // namespace
}  // namespace vela
