#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace velasim {

// The wake-up SMS as the simulated modem reads it from an SMS-SUBMIT PDU in hex text.
struct PushSms {
    int scaOctets = 0;   // length of the service-centre field
    int tpduOctets = 0;  // what AT+CMGS must announce
    int firstOctet = 0;
    int reference = 0;
    std::string address;  // destination digits, filler removed
    int addressType = 0;
    int protocolId = 0;
    int codingScheme = 0;
    int userDataLength = 0;
    std::optional<int> destinationPort;
    std::optional<int> originatorPort;
    // The seven body fields; bodyError says why they could not be read.
    std::string bodyError;
    std::string smsUser, smsPassword, ip;
    int port = 0;
    std::string apn, gprsUser, gprsPassword;
};

// Reads the PDU; nullopt with `error` set when it is not a well-formed SMS-SUBMIT.
std::optional<PushSms> DecodePushSms(std::string_view hex, std::string& error);

// Printable ASCII as it is, every other byte as \xNN.
std::string Printable(std::string_view text);

}  // namespace velasim

namespace velasim {

// An SMS-STATUS-REPORT in hex text, as a modem hands it over in PDU mode (no service
// centre): message `reference` to `address` (digits, `addressType` as in the message),
// both time stamps `when` in UTC, status `status` (TP-ST).
std::string StatusReportPdu(int reference, const std::string& address, int addressType, int status,
                            std::time_t when);

}  // namespace velasim
