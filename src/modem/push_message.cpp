#include "modem/push_message.h"

#include <array>
#include <cstdio>

namespace vela {

namespace {

// An SMS destination address holds at most 20 digits (10 octets of semi-octets).
constexpr size_t kMaxAddressDigits = 20;

std::string upperHex2(unsigned value) {
    std::array<char, 8> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.2X", value & 0xFFu);
    return buffer.data();
}

std::string upperHex4(unsigned value) {
    std::array<char, 8> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.4X", value & 0xFFFFu);
    return buffer.data();
}

// Length octet then the bytes. A field longer than 255 bytes cannot be told in one
// octet; the user data limit refuses such a message before it is used.
std::string lengthPrefixed(std::string_view text) {
    return upperHex2(static_cast<unsigned>(text.size())) + HexEncode(text);
}

Status checkPort(const char* field, int32_t port) {
    if (port < 0 || port > 65535) {
        return Status::Fail(std::string("The ") + field + " " + std::to_string(port) +
                            " is outside the range 0 to 65535; the wake-up SMS was not sent.");
    }
    return Status::Ok();
}

// A character as the operator can recognise it: printable ones quoted, others in hex.
std::string describeCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) return std::string("'") + c + "'";
    return "0x" + upperHex2(byte);
}

std::string apnField(const TrackerEntry& tracker) {
    if (tracker.auth == kAuthChap) return tracker.apn + ":c";
    if (tracker.auth == kAuthPap) return tracker.apn + ":p";
    return tracker.apn;
}

}  // namespace

std::string HexEncode(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
    return out;
}

int CmgsLength(std::string_view pushMessage) {
    return static_cast<int>(pushMessage.size() / 2) - 1;
}

Result<std::string> BuildPushMessage(const TrackerEntry& tracker, const ProgramSettings& settings,
                                     bool askForStatusReport) {
    if (Status s = checkPort("push port", tracker.pushPort); !s) return s;
    if (Status s = checkPort("external port", settings.externalPort); !s) return s;
    if (tracker.phone.size() > kMaxAddressDigits) {
        return Result<std::string>::Fail(
            "The phone number has " + std::to_string(tracker.phone.size()) +
            " characters, more than the " + std::to_string(kMaxAddressDigits) +
            " digits an SMS address can hold; the wake-up SMS was not sent.");
    }

    // Each character becomes one semi-octet as it stands: anything but a decimal digit
    // would put a character that is not hexadecimal into the PDU, which the modem
    // refuses only after the whole dialogue.
    for (char c : tracker.phone) {
        if (c < '0' || c > '9') {
            return Result<std::string>::Fail(
                "The phone number holds the character " + describeCharacter(c) +
                "; it must hold only the digits of the international number, without "
                "\"+\"; the wake-up SMS was not sent.");
        }
    }

    const std::string apn = apnField(tracker);
    const std::string ip = formatIpv4(settings.externalIp);
    struct Field {
        const char* name;
        const std::string* text;
    };
    const std::array<Field, 6> fields{{{"SMS user", &tracker.smsUser},
                                       {"SMS password", &tracker.smsPassword},
                                       {"external IP address", &ip},
                                       {"APN", &apn},
                                       {"GPRS user", &tracker.gprsUser},
                                       {"GPRS password", &tracker.gprsPassword}}};

    // Header (7) + ports (2) + one length octet per text field + the texts.
    size_t octets = 7 + 2;
    const Field* longest = &fields[0];
    for (const Field& field : fields) {
        octets += 1 + field.text->size();
        if (field.text->size() > longest->text->size()) longest = &field;
    }
    if (octets > static_cast<size_t>(kMaxUserDataOctets)) {
        return Result<std::string>::Fail(
            "The wake-up SMS is too long: its user data would take " + std::to_string(octets) +
            " octets, more than the " + std::to_string(kMaxUserDataOctets) +
            " of one SMS. The longest field is the " + longest->name + " (" +
            std::to_string(longest->text->size()) + " characters); shorten it.");
    }

    std::string userData = "060504" + upperHex4(static_cast<unsigned>(tracker.pushPort)) + "0000";
    userData += lengthPrefixed(tracker.smsUser);
    userData += lengthPrefixed(tracker.smsPassword);
    userData += lengthPrefixed(ip);
    userData += upperHex4(static_cast<unsigned>(settings.externalPort));
    userData += lengthPrefixed(apn);
    userData += lengthPrefixed(tracker.gprsUser);
    userData += lengthPrefixed(tracker.gprsPassword);

    std::string digits = tracker.phone;
    if (digits.size() % 2 != 0) digits += 'F';
    std::string address;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        address += digits[i + 1];
        address += digits[i];
    }

    std::string pdu = askForStatusReport ? "006100" : "004100";
    pdu += upperHex2(static_cast<unsigned>(tracker.phone.size())) + "91";
    pdu += address;
    pdu += "00F5";
    pdu += upperHex2(static_cast<unsigned>(userData.size() / 2));
    pdu += userData;
    return pdu;
}

}  // namespace vela
