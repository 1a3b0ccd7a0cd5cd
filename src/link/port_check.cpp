#include "link/port_check.h"

#include "common/file_access.h"
#include "storage/program_settings.h"
#include "vela_version.h"

namespace vela {
namespace {

constexpr std::string_view kMessagePrefix = "Hi, i`am=";
// The ini file holds two short lines; anything longer than this is not an address.
constexpr std::size_t kMaxIniBytes = 64 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Takes one line (without its line feed) off the front of `rest`.
std::string_view takeLine(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return line;
}

// Reads a decimal number of 1 to `maxDigits` digits without a leading zero (except
// "0" itself) off the front of `rest`.
bool takeNumber(std::string_view& rest, std::size_t maxDigits, uint32_t& value) {
    std::size_t n = 0;
    value = 0;
    while (n < rest.size() && isDigit(rest[n])) {
        if (n == maxDigits) return false;
        value = value * 10 + static_cast<uint32_t>(rest[n] - '0');
        ++n;
    }
    if (n == 0 || (n > 1 && rest[0] == '0')) return false;
    rest.remove_prefix(n);
    return true;
}

}  // namespace

TestServerAddress parseTestServerIni(std::string_view content) {
    TestServerAddress address;
    std::string_view rest = content;
    address.host = std::string(trim(takeLine(rest)));
    address.portText = std::string(trim(takeLine(rest)));

    // The leading decimal digits, saturating so that a long digit run cannot overflow.
    uint32_t value = 0;
    std::size_t digits = 0;
    for (char c : address.portText) {
        if (!isDigit(c)) break;
        ++digits;
        if (value <= 65535) value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (address.host.empty()) {
        address.problem = "test-server.ini names no host";
    } else if (digits == 0) {
        address.problem = "test-server.ini names no port number";
    } else if (value > 65535) {
        address.problem = "the port number in test-server.ini is larger than 65535";
    } else if (value == 0) {
        address.problem = "the port number in test-server.ini is 0";
    }
    if (value <= 65535) address.port = static_cast<uint16_t>(value);
    return address;
}

TestServerAddress readTestServerIni(const std::filesystem::path& directory) {
    // A regular file only: a FIFO or device in its place is refused, not waited on.
    Result<std::string> content = ReadRegularFile(directory / kTestServerIniName, kMaxIniBytes);
    if (!content) {
        TestServerAddress address;
        address.problem = content.message();
        return address;
    }
    return parseTestServerIni(content.value());
}

std::string installationTag() {
    return std::string("vela-") + kVersion;
}

std::string formatTestMessage(uint32_t externalIp, int32_t externalPort, std::string_view tag) {
    return std::string(kMessagePrefix) + formatIpv4(externalIp) + ":" +
           std::to_string(externalPort) + "@" + std::string(tag) + "\n";
}

Result<TestMessage> parseTestMessage(std::string_view line) {
    if (line.size() > kMaxTestMessageLength) return Result<TestMessage>::Fail("line too long");
    if (line.empty() || line.back() != '\n') {
        return Result<TestMessage>::Fail("no line feed at the end");
    }
    line.remove_suffix(1);
    if (!line.starts_with(kMessagePrefix)) {
        return Result<TestMessage>::Fail("does not begin with \"Hi, i`am=\"");
    }
    std::string_view rest = line.substr(kMessagePrefix.size());

    TestMessage message;
    for (int octet = 0; octet < 4; ++octet) {
        uint32_t value = 0;
        if (!takeNumber(rest, 3, value) || value > 255) {
            return Result<TestMessage>::Fail("octet " + std::to_string(octet + 1) +
                                             " of the address is not a number 0..255");
        }
        message.address = (message.address << 8) | value;
        const char separator = octet < 3 ? '.' : ':';
        if (rest.empty() || rest.front() != separator) {
            return Result<TestMessage>::Fail(std::string("expected '") + separator +
                                             "' after octet " + std::to_string(octet + 1));
        }
        rest.remove_prefix(1);
    }

    uint32_t port = 0;
    if (!takeNumber(rest, 5, port) || port == 0 || port > 65535) {
        return Result<TestMessage>::Fail("the port is not a number 1..65535");
    }
    message.port = static_cast<uint16_t>(port);
    if (rest.empty() || rest.front() != '@') return Result<TestMessage>::Fail("expected '@'");
    rest.remove_prefix(1);

    if (rest.size() > kMaxInstallationTagLength) return Result<TestMessage>::Fail("tag too long");
    for (char c : rest) {
        if (c < 0x20 || c > 0x7E) {
            return Result<TestMessage>::Fail("the tag holds a character that is not printable");
        }
    }
    message.tag = std::string(rest);
    return message;
}

}  // namespace vela
