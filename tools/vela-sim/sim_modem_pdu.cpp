#include "sim_modem_pdu.h"

#include <cstdio>
#include <vector>

namespace velasim {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Sequential reader over the PDU's octets.
class Octets {
public:
    explicit Octets(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool has(size_t n) const { return pos_ + n <= bytes_.size(); }
    size_t left() const { return bytes_.size() - pos_; }
    int next() { return bytes_[pos_++]; }
    std::string take(size_t n) {
        std::string out(bytes_.begin() + static_cast<long>(pos_),
                        bytes_.begin() + static_cast<long>(pos_ + n));
        pos_ += n;
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

bool readField(Octets& body, std::string& out) {
    if (!body.has(1)) return false;
    const auto n = static_cast<size_t>(body.next());
    if (!body.has(n)) return false;
    out = body.take(n);
    return true;
}

void decodeBody(Octets& body, PushSms& sms) {
    auto field = [&](std::string& out, const char* name) {
        if (!readField(body, out) && sms.bodyError.empty()) {
            sms.bodyError = std::string("the ") + name + " field runs past the end";
        }
        return sms.bodyError.empty();
    };
    if (!field(sms.smsUser, "SMS user") || !field(sms.smsPassword, "SMS password") ||
        !field(sms.ip, "IP address")) {
        return;
    }
    if (!body.has(2)) {
        sms.bodyError = "the port field runs past the end";
        return;
    }
    sms.port = body.next() << 8;
    sms.port |= body.next();
    if (!field(sms.apn, "APN") || !field(sms.gprsUser, "GPRS user") ||
        !field(sms.gprsPassword, "GPRS password")) {
        return;
    }
    if (body.left() != 0) {
        sms.bodyError = std::to_string(body.left()) + " octets follow the GPRS password";
    }
}

}  // namespace

std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", byte);
            out += buffer;
        }
    }
    return out;
}

std::optional<PushSms> DecodePushSms(std::string_view hex, std::string& error) {
    if (hex.size() % 2 != 0) {
        error = "odd number of hex digits";
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            error = "not a hex digit at position " + std::to_string(high < 0 ? i : i + 1);
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    Octets pdu(std::move(bytes));
    PushSms sms;
    if (!pdu.has(1)) {
        error = "empty PDU";
        return std::nullopt;
    }
    sms.scaOctets = pdu.next();
    if (!pdu.has(static_cast<size_t>(sms.scaOctets))) {
        error = "service-centre field runs past the end";
        return std::nullopt;
    }
    pdu.take(static_cast<size_t>(sms.scaOctets));
    sms.tpduOctets = static_cast<int>(pdu.left());
    if (!pdu.has(4)) {
        error = "too short for an SMS-SUBMIT header";
        return std::nullopt;
    }
    sms.firstOctet = pdu.next();
    if ((sms.firstOctet & 0x03) != 0x01) {
        error = "first octet is not SMS-SUBMIT";
        return std::nullopt;
    }
    sms.reference = pdu.next();
    const int digits = pdu.next();
    sms.addressType = pdu.next();
    const auto addressOctets = static_cast<size_t>((digits + 1) / 2);
    if (!pdu.has(addressOctets)) {
        error = "destination address runs past the end";
        return std::nullopt;
    }
    static constexpr char kSemiOctets[] = "0123456789*#abcF";
    for (size_t i = 0; i < addressOctets; ++i) {
        const int octet = pdu.next();
        sms.address += kSemiOctets[octet & 0x0F];
        sms.address += kSemiOctets[octet >> 4];
    }
    if (sms.address.size() > static_cast<size_t>(digits)) {
        if (sms.address.back() != 'F') {
            error = "odd-length address without the F filler";
            return std::nullopt;
        }
        sms.address.pop_back();
    }
    if (!pdu.has(2)) {
        error = "no protocol identifier or coding scheme";
        return std::nullopt;
    }
    sms.protocolId = pdu.next();
    sms.codingScheme = pdu.next();
    const int validity = (sms.firstOctet >> 3) & 0x03;
    const size_t validityOctets = validity == 0 ? 0 : (validity == 2 ? 1 : 7);
    if (!pdu.has(validityOctets + 1)) {
        error = "no user data length";
        return std::nullopt;
    }
    pdu.take(validityOctets);
    sms.userDataLength = pdu.next();
    if ((sms.codingScheme & 0x0C) != 0x04) {
        error = "the coding scheme is not 8-bit data";
        return std::nullopt;
    }
    if (pdu.left() != static_cast<size_t>(sms.userDataLength)) {
        error = "user data length " + std::to_string(sms.userDataLength) + " but " +
                std::to_string(pdu.left()) + " octets follow";
        return std::nullopt;
    }
    if (sms.userDataLength > 140) {
        error = "user data longer than 140 octets";
        return std::nullopt;
    }
    if ((sms.firstOctet & 0x40) != 0) {
        const auto headerLength = static_cast<size_t>(pdu.next());
        if (!pdu.has(headerLength)) {
            error = "user data header runs past the end";
            return std::nullopt;
        }
        const std::string raw = pdu.take(headerLength);
        for (size_t i = 0; i + 1 < raw.size();) {
            const auto id = static_cast<uint8_t>(raw[i]);
            const auto length = static_cast<uint8_t>(raw[i + 1]);
            if (i + 2 + length > raw.size()) {
                error = "information element runs past the header";
                return std::nullopt;
            }
            const auto at = [&](size_t k) { return static_cast<uint8_t>(raw[i + 2 + k]); };
            if (id == 0x05 && length == 4) {
                sms.destinationPort = at(0) << 8 | at(1);
                sms.originatorPort = at(2) << 8 | at(3);
            } else if (id == 0x04 && length == 2) {
                sms.destinationPort = at(0);
                sms.originatorPort = at(1);
            }
            i += 2 + length;
        }
    }
    decodeBody(pdu, sms);
    return sms;
}

}  // namespace velasim

namespace velasim {

std::string StatusReportPdu(int reference, const std::string& address, int addressType, int status,
                            std::time_t when) {
    char octet[3];
    std::string hex = "0006";  // no service centre; an SMS-STATUS-REPORT
    auto put = [&](int value) {
        std::snprintf(octet, sizeof octet, "%02X", value & 0xFF);
        hex += octet;
    };
    put(reference);
    put(static_cast<int>(address.size()));
    put(addressType);
    for (std::size_t i = 0; i < address.size(); i += 2) {
        const char high = i + 1 < address.size() ? address[i + 1] : 'F';
        hex += high;
        hex += address[i];
    }
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    std::string stamp;
    for (int part :
         {utc.tm_year % 100, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, 0}) {
        // Two digits, the low one first.
        stamp += static_cast<char>('0' + part % 10);
        stamp += static_cast<char>('0' + part / 10);
    }
    hex += stamp + stamp;
    put(status);
    return hex;
}

}  // namespace velasim
