// The status-report judges: AT+CNMI offers and choices, report notices among the lines a
// modem says on its own, the PDU of an AT+CMGR reply.
#include "modem/delivery_reports.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(DeliveryReports, CnmiOffersGiveTheCommandsToTry) {
    const struct {
        const char* reply;
        std::vector<std::string> commands;  // empty: nothing to try
    } rows[] = {
        {"\r\n+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)\r\n\r\nOK\r\n",
         {"AT+CNMI=2,1,0,1,0\r\n", "AT+CNMI=2,1,0,2,0\r\n"}},
        // Only storing: <ds>=2 alone; no <bfr> offered, none written.
        {"\r\n+CNMI: (0,1),(0,1),(0),(0,2)\r\n\r\nOK\r\n", {"AT+CNMI=1,1,0,2\r\n"}},
        {"+CNMI: (1,2),(0),(0),(1),(0,1)\r\n", {"AT+CNMI=2,0,0,1,0\r\n"}},
        {"\r\n+CNMI: (0-3),(0-3),(0-3),(0),(0,1)\r\n\r\nOK\r\n", {}},  // no reports at all
        {"\r\n+CNMI: (0-2),(0-3)\r\n\r\nOK\r\n", {}},                  // no <ds> field
        {"\r\n+CNMI: (0-2),(0-3),(0,2),(0-99999),(0,1)\r\n", {}},      // hostile range
        {"\r\n+CNMI: 0-2,0-3\r\n", {}},
        {"\r\nOK\r\n", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reply);
        const std::optional<CnmiOffer> offer = ParseCnmiOffer(row.reply);
        std::vector<std::string> commands;
        if (offer) {
            for (const CnmiChoice& choice : ChooseCnmi(*offer)) commands.push_back(choice.command);
        }
        EXPECT_EQ(commands, row.commands);
    }
}

TEST(DeliveryReports, NoticesAmongUnsolicitedLines) {
    const struct {
        const char* text;
        std::vector<std::string> found;  // "pdu" or "MEM#index"
    } rows[] = {
        {"\r\n+CDS: 25\r\n0006070B91\r\n", {"0006070B91"}},
        {"\r\n+CDS: 25\r\n0006070B91", {}},  // the PDU line still arriving
        {"\r\n+CDS: 25\r\n", {}},
        {"\r\n^RSSI: 17\r\n\r\n+CDSI: \"SR\",3\r\n\r\n+CMTI: \"SM\",2\r\n", {"SR#3"}},
        {"\r\nRDY\r\n+CDSI: \"SM\", 12\r\n+CREG: 1\r\n+CDS: 6\r\n00AB\r\n", {"SM#12", "00AB"}},
        {"\r\n+CDSI: \"SR\",x\r\n+CDSI: SR\r\n+CDSI: \"TOOLONG\",1\r\n", {}},
        // A text-mode report is no PDU.
        {"\r\n+CDS: 6,7,\"+123\",145,\"26/12/08\"\r\n", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> found;
        for (const ReportNotice& notice : FindReportNotices(row.text)) {
            found.push_back(notice.index >= 0 ? notice.memory + "#" + std::to_string(notice.index)
                                              : notice.pdu);
            EXPECT_LE(notice.end, std::string_view(row.text).size());
        }
        EXPECT_EQ(found, row.found);
    }
}

TEST(DeliveryReports, ReadPduMemoriesAndTheAskingFirstOctet) {
    EXPECT_EQ(FindReadPdu("\r\n+CMGR: 0,,25\r\n0006070B91\r\n\r\nOK\r\n"), "0006070B91");
    EXPECT_EQ(FindReadPdu("\r\n+CMGR: 0,,25\r\n"), std::nullopt);
    EXPECT_EQ(FindReadPdu("\r\nOK\r\n"), std::nullopt);
    EXPECT_EQ(ReportMemories("SM"), (std::vector<std::string>{"SM", "SR"}));
    EXPECT_EQ(ReportMemories("SR"), (std::vector<std::string>{"SR", "SM"}));
    EXPECT_EQ(ReportMemories("ME"), (std::vector<std::string>{"ME", "SR", "SM"}));
    EXPECT_TRUE(AsksForStatusReport("0061000B91"));
    EXPECT_FALSE(AsksForStatusReport("0041000B91"));
    EXPECT_TRUE(AsksForStatusReport("07917306000000F061"));  // after a service centre
    EXPECT_FALSE(AsksForStatusReport("07917306"));
    EXPECT_FALSE(AsksForStatusReport("00"));
    EXPECT_FALSE(AsksForStatusReport("0X61"));
}

}  // namespace
}  // namespace vela
