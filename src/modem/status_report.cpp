#include "modem/status_report.h"

#include <array>
#include <cstdio>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vela {

namespace {

// The longest address the report may carry: 20 digits in 10 octets.
constexpr int kMaxAddressDigits = 20;

std::optional<std::vector<uint8_t>> bytesOfHex(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

// Reads the octets of a PDU front to back; every read is checked against its end.
class Octets {
public:
    explicit Octets(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    std::optional<uint8_t> next() {
        if (at_ >= bytes_.size()) return std::nullopt;
        return bytes_[at_++];
    }
    std::optional<std::span<const uint8_t>> take(std::size_t count) {
        if (bytes_.size() - at_ < count) return std::nullopt;
        const std::span<const uint8_t> taken = bytes_.subspan(at_, count);
        at_ += count;
        return taken;
    }

private:
    std::span<const uint8_t> bytes_;
    std::size_t at_ = 0;
};

// Two decimal digits stored low nibble first; nothing when a nibble is not a digit.
std::optional<int> swappedDecimal(uint8_t octet) {
    const int low = octet & 0x0F;
    const int high = octet >> 4;
    if (low > 9 || high > 9) return std::nullopt;
    return low * 10 + high;
}

std::optional<SmsTimestamp> timestampOf(std::span<const uint8_t> octets) {
    std::array<int, 6> parts{};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::optional<int> value = swappedDecimal(octets[i]);
        if (!value) return std::nullopt;
        parts[i] = *value;
    }
    // The zone: quarters of an hour, its sign in bit 3 of the first (low) nibble.
    const uint8_t zone = octets[6];
    const std::optional<int> quarters = swappedDecimal(static_cast<uint8_t>(zone & 0xF7));
    if (!quarters) return std::nullopt;
    SmsTimestamp stamp{2000 + parts[0],
                       parts[1],
                       parts[2],
                       parts[3],
                       parts[4],
                       parts[5],
                       (zone & 0x08) != 0 ? -15 * *quarters : 15 * *quarters};
    if (stamp.month < 1 || stamp.month > 12 || stamp.day < 1 || stamp.day > 31 || stamp.hour > 23 ||
        stamp.minute > 59 || stamp.second > 59) {
        return std::nullopt;
    }
    return stamp;
}

// The recipient: semi-octets low nibble first, 'F' filling the last octet.
std::string addressOf(uint8_t type, std::span<const uint8_t> octets, int digits) {
    static constexpr char kSemiOctets[] = "0123456789*#abc?";
    std::string text = ((type >> 4) & 0x07) == 1 ? "+" : "";
    for (int i = 0; i < digits; ++i) {
        const uint8_t octet = octets[static_cast<std::size_t>(i / 2)];
        text += kSemiOctets[i % 2 == 0 ? (octet & 0x0F) : (octet >> 4)];
    }
    return text;
}

Result<StatusReport> refused(const std::string& why) {
    return Result<StatusReport>::Fail("not a status report: " + why, StatusCode::Invalid);
}

}  // namespace

std::string SmsTimestamp::text() const {
    char out[40];
    const int offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d %c%02d:%02d", year, month, day,
                  hour, minute, second, offsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return out;
}

std::string SmsTimestamp::clock() const {
    char out[16];
    std::snprintf(out, sizeof out, "%02d:%02d:%02d", hour, minute, second);
    return out;
}

Result<StatusReport> DecodeStatusReport(std::string_view hex) {
    const std::optional<std::vector<uint8_t>> bytes = bytesOfHex(hex);
    if (!bytes) return refused("the text is not hexadecimal octets");
    Octets pdu(*bytes);
    const std::optional<uint8_t> centreLength = pdu.next();
    if (!centreLength || !pdu.take(*centreLength)) return refused("cut short in its centre");
    const std::optional<uint8_t> first = pdu.next();
    if (!first) return refused("cut short before its type");
    if ((*first & 0x03) != 0x02) return refused("another kind of message");
    StatusReport report;
    const std::optional<uint8_t> reference = pdu.next();
    const std::optional<uint8_t> digits = pdu.next();
    const std::optional<uint8_t> type = pdu.next();
    if (!reference || !digits || !type) return refused("cut short before its recipient");
    if (*digits > kMaxAddressDigits) return refused("a recipient longer than 20 digits");
    const auto address = pdu.take((*digits + 1u) / 2);
    if (!address) return refused("cut short in its recipient");
    const auto centreTime = pdu.take(7);
    const auto dischargeTime = pdu.take(7);
    const std::optional<uint8_t> status = pdu.next();
    if (!centreTime || !dischargeTime || !status) return refused("cut short before its status");
    const std::optional<SmsTimestamp> centre = timestampOf(*centreTime);
    const std::optional<SmsTimestamp> discharge = timestampOf(*dischargeTime);
    if (!centre || !discharge) return refused("a time stamp that is not a date");
    report.messageReference = *reference;
    report.recipient = addressOf(*type, *address, *digits);
    report.serviceCentreTime = *centre;
    report.dischargeTime = *discharge;
    report.status = *status;
    report.state = DeliveryStateOf(*status);
    return report;
}

DeliveryState DeliveryStateOf(uint8_t status) {
    if (status < 0x20) return DeliveryState::Delivered;
    if (status < 0x40) return DeliveryState::Trying;
    return DeliveryState::Failed;  // permanent, given up, or reserved
}

std::string DeliveryStatusText(uint8_t status) {
    static constexpr std::array<std::pair<uint8_t, const char*>, 21> kMeanings{{
        {0x00, "delivered"},
        {0x01, "forwarded to the tracker, delivery not confirmed"},
        {0x02, "replaced by the service centre"},
        {0x20, "the network is congested; it still tries"},
        {0x21, "the tracker is busy; the network still tries"},
        {0x22, "the tracker does not respond; the network still tries"},
        {0x23, "the service was refused; the network still tries"},
        {0x25, "an error in the tracker; the network still tries"},
        {0x40, "a procedure error at the tracker's end"},
        {0x41, "the destination cannot take the message"},
        {0x42, "the tracker refused the message"},
        {0x43, "the number cannot be reached"},
        {0x45, "the tracker's network cannot be reached from here"},
        {0x46, "the tracker was unreachable until the message expired"},
        {0x47, "the message was deleted by its sender"},
        {0x48, "the message was deleted by the service centre"},
        {0x49, "the message does not exist"},
        {0x60, "the network was congested and gave up"},
        {0x61, "the tracker was busy and the network gave up"},
        {0x62, "the tracker did not respond and the network gave up"},
        {0x63, "the service was refused and the network gave up"},
    }};
    for (const auto& [value, meaning] : kMeanings) {
        if (value == status) return meaning;
    }
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", status);
    switch (DeliveryStateOf(status)) {
        case DeliveryState::Delivered:
            return std::string("delivered (status ") + code + ")";
        case DeliveryState::Trying:
            return std::string("a temporary error; the network still tries (status ") + code + ")";
        case DeliveryState::Failed:
            break;
    }
    return std::string("not delivered (status ") + code + ")";
}

}  // namespace vela
