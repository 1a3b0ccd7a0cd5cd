#pragma once

#include "common/result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// The byte-level pieces of the port check: where the test server is (test-server.ini),
// the one-line test message Vela sends it, and the server's strict reading of that line.
namespace vela {

// File in the working directory that names the test server: line 1 host, line 2 port.
inline constexpr const char* kTestServerIniName = "test-server.ini";

// What the test server sends when it calls back: 00 0F and fifteen capital X's, so the
// session recognises it by the last 15 bytes.
inline constexpr std::string_view kTestServerCallback{
    "\x00\x0F"
    "XXXXXXXXXXXXXXX",
    17};

// The longest test message line the server accepts, line feed included.
inline constexpr std::size_t kMaxTestMessageLength = 256;
// The longest installation tag the server accepts.
inline constexpr std::size_t kMaxInstallationTagLength = 64;

// The test server as test-server.ini names it.
struct TestServerAddress {
    std::string host;      // line 1, trimmed
    std::string portText;  // line 2, trimmed; shown to the operator as it stands
    uint16_t port = 0;     // leading decimal digits of portText; 0 when none or too large
    std::string problem;   // why the address cannot be used; empty when it can

    bool usable() const { return problem.empty(); }
};

// Reads the two lines of test-server.ini. Leading and trailing white space (blanks,
// tabs, CR) of each line is removed; further lines are ignored. A missing or unreadable
// file leaves host and portText empty and port 0 (with `problem` saying why).
TestServerAddress readTestServerIni(const std::filesystem::path& directory);
// The same reading of file content already in memory.
TestServerAddress parseTestServerIni(std::string_view content);

// The tag that ends the test message: "vela-" and the program version, e.g. "vela-1.0.0".
std::string installationTag();

// "Hi, i`am=A.B.C.D:PORT@TAG\n" with the address's most significant octet first.
std::string formatTestMessage(uint32_t externalIp, int32_t externalPort, std::string_view tag);

// A test message as the server reads it.
struct TestMessage {
    uint32_t address = 0;  // most significant octet first
    uint16_t port = 0;     // 1..65535
    std::string tag;
};

// Strict reading of one received line (line feed included): the prefix "Hi, i`am=", a
// dotted IPv4 address of four decimal octets 0..255 without leading zeros, ':', a port
// 1..65535, '@', a tag of at most kMaxInstallationTagLength printable ASCII characters,
// and exactly one line feed at the very end. Fails with the reason otherwise.
Result<TestMessage> parseTestMessage(std::string_view line);

}  // namespace vela
