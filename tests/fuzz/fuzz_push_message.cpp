// Any tracker entry and settings give either a refusal or a well-formed wake-up PDU:
// hex digits only, every length consistent, user data within one SMS, the AT+CMGS
// length right and each field decoding back to its input.
//
// Input layout (so that seeds can be written by hand): 16 bytes of numbers, little
// endian (push port, auth, external IP, external port), then up to seven texts, each
// one length byte followed by its bytes: phone, APN, SMS user, SMS password, GPRS user,
// GPRS password, description. Whatever is missing is empty.
#include "modem/push_message.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "push message fault: %s\n", what);
        std::abort();
    }
}

struct Reader {
    const uint8_t* data;
    std::size_t size;

    uint32_t number() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const uint32_t byte = size > 0 ? *data : 0;
            if (size > 0) ++data, --size;
            value |= byte << (8 * i);
        }
        return value;
    }
    std::string text() {
        if (size == 0) return {};
        std::size_t length = *data++;
        --size;
        if (length > size) length = size;
        std::string out(reinterpret_cast<const char*>(data), length);
        data += length;
        size -= length;
        return out;
    }
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Walks the PDU octet by octet.
struct Pdu {
    std::string_view hex;
    std::size_t at = 0;

    std::size_t octetsLeft() const { return (hex.size() - at) / 2; }
    unsigned octet() {
        check(at + 2 <= hex.size(), "PDU ends inside an octet");
        const unsigned value =
            static_cast<unsigned>(hexValue(hex[at]) * 16 + hexValue(hex[at + 1]));
        at += 2;
        return value;
    }
    std::string_view digits(std::size_t count) {
        check(at + count <= hex.size(), "PDU ends early");
        std::string_view out = hex.substr(at, count);
        at += count;
        return out;
    }
    std::string lengthPrefixed() {
        const unsigned length = octet();
        check(length <= octetsLeft(), "a field is longer than the rest of the PDU");
        std::string out;
        for (unsigned i = 0; i < length; ++i) out += static_cast<char>(octet());
        return out;
    }
};

bool upperCase(std::string_view digits) {
    for (char c : digits) {
        if (c >= 'a' && c <= 'f') return false;
    }
    return true;
}

void checkPdu(const std::string& hex, const vela::TrackerEntry& tracker,
              const vela::ProgramSettings& settings, const std::string& apn) {
    for (char c : hex) check(hexValue(c) >= 0, "a character that is not a hex digit");
    check(hex.size() % 2 == 0, "odd number of hex digits");
    Pdu pdu{hex};
    check(pdu.digits(6) == "004100", "service centre, first octet and reference");

    // Address: the length counts the digits (without the F), then 91 and the swapped
    // semi-octets, F-padded to whole octets.
    const std::string_view lengthDigits = pdu.digits(2);
    check(upperCase(lengthDigits), "address length in lower case");
    pdu.at -= 2;
    const unsigned addressDigits = pdu.octet();
    check(addressDigits == tracker.phone.size(), "address length differs from the number");
    check(addressDigits <= 20, "address longer than 20 digits");
    check(pdu.digits(2) == "91", "type of address");
    const std::string_view swapped = pdu.digits((addressDigits + 1) / 2 * 2);
    std::string number;
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) {
        number += swapped[i + 1];
        number += swapped[i];
    }
    if (addressDigits % 2 != 0) {
        check(!number.empty() && number.back() == 'F', "odd number without its F");
        number.pop_back();
    }
    check(number == tracker.phone, "address digits differ from the number");
    check(pdu.digits(4) == "00F5", "protocol identifier and coding scheme");

    // User data: its length octet counts exactly what follows, at most one SMS.
    const unsigned userDataLength = pdu.octet();
    check(userDataLength == pdu.octetsLeft(), "user data length differs from the user data");
    check(userDataLength <= static_cast<unsigned>(vela::kMaxUserDataOctets),
          "user data longer than one SMS");
    const std::string_view header = pdu.digits(14);
    check(upperCase(header), "header in lower case");
    char port[5];
    std::snprintf(port, sizeof port, "%.4X", static_cast<unsigned>(tracker.pushPort));
    check(header == "060504" + std::string(port) + "0000", "user data header");

    check(pdu.lengthPrefixed() == tracker.smsUser, "SMS user");
    check(pdu.lengthPrefixed() == tracker.smsPassword, "SMS password");
    check(pdu.lengthPrefixed() == vela::formatIpv4(settings.externalIp), "external IP");
    std::snprintf(port, sizeof port, "%.4X", static_cast<unsigned>(settings.externalPort));
    check(pdu.digits(4) == port, "external port");
    check(pdu.lengthPrefixed() == apn, "APN");
    check(pdu.lengthPrefixed() == tracker.gprsUser, "GPRS user");
    check(pdu.lengthPrefixed() == tracker.gprsPassword, "GPRS password");
    check(pdu.at == hex.size(), "bytes after the last field");

    check(vela::CmgsLength(hex) == static_cast<int>(hex.size() / 2) - 1, "AT+CMGS length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Reader in{data, size};
    vela::TrackerEntry tracker;
    vela::ProgramSettings settings;
    tracker.pushPort = static_cast<int32_t>(in.number());
    tracker.auth = static_cast<int32_t>(in.number());
    settings.externalIp = in.number();
    settings.externalPort = static_cast<int32_t>(in.number());
    tracker.phone = in.text();
    tracker.apn = in.text();
    tracker.smsUser = in.text();
    tracker.smsPassword = in.text();
    tracker.gprsUser = in.text();
    tracker.gprsPassword = in.text();
    tracker.description = in.text();

    std::string apn = tracker.apn;
    if (tracker.auth == vela::kAuthChap) apn += ":c";
    if (tracker.auth == vela::kAuthPap) apn += ":p";

    // Worked out here independently: what one SMS can carry.
    bool digitsOnly = true;
    for (char c : tracker.phone) digitsOnly = digitsOnly && c >= '0' && c <= '9';
    const std::size_t userData = 7 + 2 + 6 + tracker.smsUser.size() + tracker.smsPassword.size() +
                                 vela::formatIpv4(settings.externalIp).size() + apn.size() +
                                 tracker.gprsUser.size() + tracker.gprsPassword.size();
    const bool sendable = tracker.pushPort >= 0 && tracker.pushPort <= 65535 &&
                          settings.externalPort >= 0 && settings.externalPort <= 65535 &&
                          tracker.phone.size() <= 20 && digitsOnly &&
                          userData <= static_cast<std::size_t>(vela::kMaxUserDataOctets);

    const vela::Result<std::string> built = vela::BuildPushMessage(tracker, settings);
    if (!built) {
        check(!sendable, "a sendable message was refused");
        check(!built.message().empty(), "a refusal without a reason");
        return 0;
    }
    check(sendable, "a message that cannot be sent was built");
    checkPdu(built.value(), tracker, settings, apn);
    return 0;
}
