#include "link/port_check.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(TestMessage, FormatsAddressPortAndTagOnOneLine) {
    const std::string message = formatTestMessage(0xC000020A, 5000, installationTag());
    EXPECT_TRUE(message.starts_with("Hi, i`am=192.0.2.10:5000@"));
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.back(), '\n');
    EXPECT_EQ(message.find('\n'), message.size() - 1);  // exactly one line feed
    EXPECT_EQ(message, "Hi, i`am=192.0.2.10:5000@" + installationTag() + "\n");
    EXPECT_EQ(formatTestMessage(0xFF000001, 16384, "t"), "Hi, i`am=255.0.0.1:16384@t\n");
}

TEST(TestMessage, InstallationTagIsShortAndPrintable) {
    const std::string tag = installationTag();
    EXPECT_TRUE(tag.starts_with("vela-"));
    EXPECT_GT(tag.size(), 5u);
    EXPECT_LE(tag.size(), kMaxInstallationTagLength);
    for (char c : tag) EXPECT_TRUE(c > ' ' && c <= '~') << tag;
}

TEST(TestMessage, ParserReadsWhatTheFormatterWrites) {
    const auto parsed = parseTestMessage(formatTestMessage(0xC000020A, 5000, installationTag()));
    ASSERT_TRUE(parsed) << parsed.message();
    EXPECT_EQ(parsed->address, 0xC000020Au);
    EXPECT_EQ(parsed->port, 5000);
    EXPECT_EQ(parsed->tag, installationTag());

    const auto edges = parseTestMessage("Hi, i`am=0.0.0.0:65535@\n");
    ASSERT_TRUE(edges) << edges.message();
    EXPECT_EQ(edges->address, 0u);
    EXPECT_EQ(edges->port, 65535);
    EXPECT_EQ(edges->tag, "");
    EXPECT_TRUE(parseTestMessage("Hi, i`am=255.255.255.255:1@a tag with blanks\n"));
}

TEST(TestMessage, ParserRefusesMalformedLines) {
    const std::string longTag(kMaxInstallationTagLength + 1, 't');
    const char* const bad[] = {
        "",
        "Hi, i`am=127.0.0.1:5000@tag",      // no line feed
        "Hi, i`am=127.0.0.1:5000@tag\n\n",  // two
        "Hi, i`am=127.0.0.1:5000@tag\r\n",  // CR is not printable
        "Hi, i`am=127.0.0.1:5000@ta\ng\n",  // line feed inside
        "hi, i`am=127.0.0.1:5000@tag\n",    // prefix is case-sensitive
        " Hi, i`am=127.0.0.1:5000@tag\n",
        "Hi, i`am=127.0.0:5000@tag\n",      // three octets
        "Hi, i`am=127.0.0.1.1:5000@tag\n",  // five
        "Hi, i`am=256.0.0.1:5000@tag\n",    // octet too large
        "Hi, i`am=1277.0.0.1:5000@tag\n",
        "Hi, i`am=127.00.0.1:5000@tag\n",  // leading zero
        "Hi, i`am=127.-1.0.1:5000@tag\n",
        "Hi, i`am=127.0.0.1:0@tag\n",      // port 0
        "Hi, i`am=127.0.0.1:65536@tag\n",  // port too large
        "Hi, i`am=127.0.0.1:099999@tag\n",
        "Hi, i`am=127.0.0.1:+80@tag\n",
        "Hi, i`am=127.0.0.1:@tag\n",
        "Hi, i`am=127.0.0.1:5000tag\n",  // no '@'
        "Hi, i`am=127.0.0.1 :5000@tag\n",
        "Hi, i`am=localhost:5000@tag\n",
    };
    for (const char* line : bad) {
        const auto parsed = parseTestMessage(line);
        EXPECT_FALSE(parsed) << '"' << line << '"';
        if (!parsed) {
            EXPECT_FALSE(parsed.message().empty());
        }
    }
    EXPECT_FALSE(parseTestMessage("Hi, i`am=127.0.0.1:5000@" + longTag + "\n"));
    EXPECT_FALSE(parseTestMessage(std::string("Hi, i`am=127.0.0.1:5000@t\0g\n", 28)));
    EXPECT_FALSE(parseTestMessage("Hi, i`am=127.0.0.1:5000@t\x7Fg\n"));
    EXPECT_FALSE(parseTestMessage("Hi, i`am=127.0.0.1:5000@t\xC3\xA9g\n"));
    EXPECT_FALSE(parseTestMessage(std::string(kMaxTestMessageLength + 1, 'x')));
}

TEST(TestServerIni, TrimsHostAndPortAndReadsLeadingDigits) {
    auto address = parseTestServerIni(" \t test.example.org \t\r\n\t 8000 \r\nignored\n");
    EXPECT_EQ(address.host, "test.example.org");
    EXPECT_EQ(address.portText, "8000");
    EXPECT_EQ(address.port, 8000);
    EXPECT_TRUE(address.usable()) << address.problem;

    address = parseTestServerIni("127.0.0.1\n8000x\n");
    EXPECT_EQ(address.portText, "8000x");
    EXPECT_EQ(address.port, 8000);
    EXPECT_TRUE(address.usable());

    address = parseTestServerIni("127.0.0.1\n12345");  // no line feed at the end
    EXPECT_EQ(address.port, 12345);
    EXPECT_TRUE(address.usable());
}

TEST(TestServerIni, UnusablePortsAndHostsSayWhy) {
    auto address = parseTestServerIni("127.0.0.1\nx8000\n");
    EXPECT_EQ(address.portText, "x8000");
    EXPECT_EQ(address.port, 0);
    EXPECT_FALSE(address.usable());

    address = parseTestServerIni("127.0.0.1\n65536\n");
    EXPECT_EQ(address.port, 0);
    EXPECT_FALSE(address.usable());
    EXPECT_NE(address.problem.find("65535"), std::string::npos);

    // A long run of digits saturates instead of wrapping round to a valid port.
    address = parseTestServerIni("127.0.0.1\n99999999999999999999998000\n");
    EXPECT_EQ(address.port, 0);
    EXPECT_FALSE(address.usable());

    address = parseTestServerIni("127.0.0.1\n0\n");
    EXPECT_FALSE(address.usable());

    address = parseTestServerIni("   \n8000\n");
    EXPECT_EQ(address.host, "");
    EXPECT_EQ(address.port, 8000);
    EXPECT_FALSE(address.usable());

    address = parseTestServerIni("127.0.0.1");
    EXPECT_EQ(address.portText, "");
    EXPECT_FALSE(address.usable());
}

TEST(TestServerIni, ReadsTheFileInTheGivenDirectory) {
    test::TempDir dir;
    auto missing = readTestServerIni(dir.path());
    EXPECT_EQ(missing.host, "");
    EXPECT_EQ(missing.portText, "");
    EXPECT_EQ(missing.port, 0);
    EXPECT_FALSE(missing.usable());

    test::writeFile(dir / kTestServerIniName, "\t192.0.2.1 \n 7000\t\n");
    const auto address = readTestServerIni(dir.path());
    EXPECT_EQ(address.host, "192.0.2.1");
    EXPECT_EQ(address.portText, "7000");
    EXPECT_EQ(address.port, 7000);
    EXPECT_TRUE(address.usable());
}

}  // namespace
}  // namespace vela
