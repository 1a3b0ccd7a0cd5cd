#pragma once

// Pure judges of the status-report side of the modem dialogue: what AT+CNMI=? offers and
// which AT+CNMI to try, where a report is announced in the lines read after the message
// ("+CDS: <length>" with the PDU on the next line, or "+CDSI: "<mem>",<index>"), and the
// PDU of an AT+CMGR reply. No port I/O here.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// The values of <mode>,<mt>,<bm>,<ds>,<bfr> that "+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)"
// offers, each a list of numbers.
struct CnmiOffer {
    std::array<std::vector<int>, 5> values;
};
std::optional<CnmiOffer> ParseCnmiOffer(std::string_view reply);

// One AT+CNMI to try, with the <ds> it sets: 1 hands reports over as "+CDS:", 2 stores
// them and announces "+CDSI:".
struct CnmiChoice {
    std::string command;  // "AT+CNMI=2,1,0,1,0\r\n"
    int ds = 0;
};
// The commands to try in order: <ds>=1 first, then <ds>=2, each only when offered. The
// other values keep incoming messages announced (+CMTI) as most modems default to, and
// take the buffered mode the modem offers (2, else 1).
std::vector<CnmiChoice> ChooseCnmi(const CnmiOffer& offer);

// A report announced in the lines read after the message.
struct ReportNotice {
    std::string pdu;      // "+CDS:": the PDU of the next line
    std::string memory;   // "+CDSI:": where it was stored ("SR", "SM"...)
    int index = -1;       // and at which index
    std::size_t end = 0;  // offset just past the notice in the text
};
// Every complete notice of `text`, in order. A "+CDS:" whose PDU line is not complete yet
// is still arriving and is left out.
std::vector<ReportNotice> FindReportNotices(std::string_view text);

// The PDU line after "+CMGR: <stat>,[<alpha>],<length>" in a reply that ended with OK.
std::optional<std::string> FindReadPdu(std::string_view reply);

// The memories to read a report announced in `announced` from: that one first, then
// "SR" and "SM" (some modems announce the wrong one), each once.
std::vector<std::string> ReportMemories(std::string_view announced);

// Whether a PDU for AT+CMGS (service-centre octets first) asks for a status report
// (TP-SRR in its first octet).
bool AsksForStatusReport(std::string_view pushMessage);

}  // namespace vela
