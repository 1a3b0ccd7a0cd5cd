#include "storage/csv.h"
#include "storage/history_export.h"
#include "storage/tracker_csv.h"

#include "store_test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

using Fields = std::vector<std::string>;

std::vector<Fields> fieldsOf(const std::vector<CsvRecord>& records) {
    std::vector<Fields> out;
    for (const CsvRecord& r : records) out.push_back(r.fields);
    return out;
}

TEST(Csv, ReadsQuotedFieldsWithSeparatorsQuotesAndLineBreaks) {
    const std::string text =
        "\xEF\xBB\xBF"
        "a,\"b,c\",\"say \"\"hi\"\"\"\r\n"
        "\"two\r\nlines\",,\"\"\n"
        "last,row";
    Result<std::vector<CsvRecord>> parsed = parseCsv(text);
    ASSERT_TRUE(parsed) << parsed.message();
    EXPECT_EQ(fieldsOf(parsed.value()),
              (std::vector<Fields>{
                  {"a", "b,c", "say \"hi\""}, {"two\r\nlines", "", ""}, {"last", "row"}}));
    EXPECT_EQ(parsed.value()[1].line, 2u);
    EXPECT_EQ(parsed.value()[2].line, 4u);  // the quoted line break counts
}

TEST(Csv, AFinalLineBreakMakesNoRecordAndEmptyTextNone) {
    EXPECT_EQ(fieldsOf(parseCsv("x\r\n").value()), (std::vector<Fields>{{"x"}}));
    EXPECT_EQ(fieldsOf(parseCsv("x\n\ny").value()), (std::vector<Fields>{{"x"}, {""}, {"y"}}));
    EXPECT_TRUE(parseCsv("").value().empty());
}

TEST(Csv, RefusesAnUnclosedQuoteAndTextAfterAClosingQuote) {
    Result<std::vector<CsvRecord>> unclosed = parseCsv("a\r\nb,\"open\r\nstill");
    ASSERT_FALSE(unclosed);
    EXPECT_EQ(unclosed.message(), "line 2: a quoted field is not closed");
    Result<std::vector<CsvRecord>> trailing = parseCsv("\"a\"b,c");
    ASSERT_FALSE(trailing);
    EXPECT_NE(trailing.message().find("line 1"), std::string::npos);
}

TEST(Csv, AFieldPastTheLimitIsRefusedWithoutBeingHeld) {
    const std::string longest(kMaxCsvFieldBytes, 'a');
    for (const std::string& quote : {std::string(), std::string("\"")}) {
        EXPECT_TRUE(parseCsv("x," + quote + longest + quote + "\r\n"));
        Result<std::vector<CsvRecord>> refused =
            parseCsv("x\r\ny," + quote + longest + "a" + quote + "\r\n");
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.message(), "line 2: a field is longer than 1048576 bytes");
    }
}

TEST(Csv, FormattedRecordsReadBackUnchanged) {
    const Fields tricky = {"", "plain", "com,ma", "quo\"te", "cr\rlf\r\n", " edge ", "\"", ","};
    EXPECT_EQ(formatCsvRecord({"a", "b c", ""}), "a,b c,\r\n");
    EXPECT_EQ(formatCsvRecord({"x,y", "q\""}), "\"x,y\",\"q\"\"\"\r\n");
    Result<std::vector<CsvRecord>> parsed =
        parseCsv(formatCsvRecord(tricky) + formatCsvRecord(tricky));
    ASSERT_TRUE(parsed) << parsed.message();
    EXPECT_EQ(fieldsOf(parsed.value()), (std::vector<Fields>{tricky, tricky}));
}

TEST(TrackerCsv, WritesTheHeaderAndRowsThatReadBackAsTheSameEntries) {
    TrackerList list = test::sampleList(3);
    TrackerEntry odd = test::sampleTracker(7);
    odd.description = "with, comma";
    odd.smsPassword = "pa\"ss\r\nword";
    odd.gprsUser = std::string(1000, 'g');
    odd.pushPort = -5;
    odd.apn.clear();
    list.add(odd);
    const std::string text = writeTrackerCsv(list);
    EXPECT_TRUE(
        text.starts_with("Imei,Phone,Port,APN,Auth,SMSuser,SMSpass,GPRSuser,GPRSpass,Mode\r\n"
                         "35600T0,37061000000,2001,apn.T0,0,suT0,spT0,guT0,gpT0,0\r\n"));
    Result<std::vector<TrackerEntry>> read = readTrackerCsv(text);
    ASSERT_TRUE(read) << read.message();
    EXPECT_EQ(read.value(), list.entries());
}

TEST(TrackerCsv, NoCellStartsAFormulaAndTheEscapeIsUndoneExactly) {
    const std::pair<std::string, std::string> cells[] = {
        {"=1+1", "'=1+1"}, {"+370", "'+370"}, {"-5", "'-5"},   {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},   {"\rx", "'\rx"},   {"'=x", "''=x"}, {"''", "'''"},
        {"'a", "'a"},      {"'", "'"},        {"a=b", "a=b"},  {"", ""},
    };
    TrackerList list;
    for (const auto& [plain, escaped] : cells) {
        EXPECT_EQ(EscapeSpreadsheetCell(plain), escaped) << plain;
        EXPECT_EQ(UnescapeSpreadsheetCell(escaped), plain) << escaped;
        TrackerEntry entry = test::sampleTracker(list.count());
        entry.description = plain + "#" + std::to_string(list.count());
        entry.phone = entry.apn = entry.smsUser = entry.smsPassword = entry.gprsUser =
            entry.gprsPassword = plain;
        entry.pushPort = -list.count();
        list.add(entry);
    }
    const std::string text = writeTrackerCsv(list);
    Result<std::vector<CsvRecord>> records = parseCsv(text);
    ASSERT_TRUE(records) << records.message();
    for (const CsvRecord& record : records.value()) {
        for (const std::string& cell : record.fields) {
            EXPECT_TRUE(cell.empty() ||
                        std::string_view("=+-@\t\r").find(cell[0]) == std::string_view::npos)
                << "line " << record.line << ": " << cell;
        }
    }
    Result<std::vector<TrackerEntry>> read = readTrackerCsv(text);
    ASSERT_TRUE(read) << read.message();
    EXPECT_EQ(read.value(), list.entries());
}

// Every text of a run may come from a network caller or a file.
TEST(HistoryCsv, HostileCellsReadBackExactlyAndNoneIsAFormula) {
    const std::string hostile[] = {"=HYPERLINK(\"http://x\",\"y\")",
                                   "+1",
                                   "-2+3",
                                   "@SUM(A1)",
                                   "\tx",
                                   "\rx",
                                   "'=x",
                                   std::string("a\0b", 3),
                                   "two\r\nlines",
                                   "\"quoted\", too",
                                   " edge "};
    std::vector<HistoryRecord> records;
    for (const std::string& text : hostile) {
        HistoryRecord r = test::sampleRun(2, text, Verdict::WrongCaller);
        r.callerImei = r.detail = r.configFile = r.callerAddress = text;
        records.push_back(r);
    }
    Result<std::vector<CsvRecord>> parsed = parseCsv(FormatHistoryCsv(records));
    ASSERT_TRUE(parsed) << parsed.message();
    ASSERT_EQ(parsed.value().size(), records.size() + 1);
    for (size_t i = 0; i < records.size(); ++i) {
        Fields cells = parsed.value()[i + 1].fields;
        for (std::string& cell : cells) {
            EXPECT_TRUE(cell.empty() ||
                        std::string_view("=+-@\t\r").find(cell[0]) == std::string_view::npos)
                << cell;
            cell = UnescapeSpreadsheetCell(cell);
        }
        EXPECT_EQ(cells, HistoryFields(records[i]));
    }
}

TEST(TrackerCsv, MatchesColumnsByNameInAnyOrderAndDefaultsMissingOnes) {
    Result<std::vector<TrackerEntry>> read =
        readTrackerCsv(" mode ,IMEI,Port\n\n0,356A, 2001 \r\n1,356B,\n");
    ASSERT_TRUE(read) << read.message();
    ASSERT_EQ(read.value().size(), 2u);
    EXPECT_EQ(read.value()[0].description, "356A");
    EXPECT_EQ(read.value()[0].pushPort, 2001);
    EXPECT_EQ(read.value()[0].phone, "");
    EXPECT_EQ(read.value()[1].deviceType, 1);
    EXPECT_EQ(read.value()[1].pushPort, 0);
}

TEST(TrackerCsv, RefusesBadHeadersAndRowsNamingTheLine) {
    auto failure = [](const std::string& text) {
        Result<std::vector<TrackerEntry>> read = readTrackerCsv(text);
        EXPECT_FALSE(read) << text;
        return read.message();
    };
    EXPECT_EQ(failure(""), "no header row");
    EXPECT_NE(failure("Imei,Colour\r\n").find("unknown column 'Colour'"), std::string::npos);
    EXPECT_NE(failure("Imei,Port,port\r\n").find("appears twice"), std::string::npos);
    EXPECT_NE(failure("Phone,Port\r\n").find("no Imei column"), std::string::npos);
    EXPECT_EQ(failure("Imei,Port\r\na,1\r\nb\r\n"), "line 3: 1 fields, but the header row has 2");
    EXPECT_EQ(failure("Imei,Port\r\na,7D1\r\n"), "line 2: Port '7D1' is not a whole number");
    EXPECT_EQ(failure("Imei,Auth\r\na,2147483648\r\n"),
              "line 2: Auth '2147483648' is not a whole number");
    EXPECT_TRUE(readTrackerCsv("Imei,Auth\r\na,-2147483648\r\n"));
}

}  // namespace
}  // namespace vela
