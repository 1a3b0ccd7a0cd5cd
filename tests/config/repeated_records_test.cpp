// Numbered families (frames, secure numbers, I/O elements, zones) and composed values
// (operator codes, schedules).
#include "config/config_reader.h"

#include "image_test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace vela {
namespace {

using test::encodeOk;
using test::Record;
using test::recordsOf;
using Records = std::vector<Record>;

// The records of `xml` without the three that every image carries (1271, 1272, 1273),
// unless they hold something.
Records familyRecords(const std::string& xml) {
    Records records;
    for (const Record& record : recordsOf(xml)) {
        const bool alwaysThere = record.first >= 1271 && record.first <= 1273;
        if (!alwaysThere || !record.second.empty()) records.push_back(record);
    }
    return records;
}

Status encodeStatus(const std::string& xml) {
    auto image = std::make_unique<ConfigImage>();
    return EncodeConfigText(xml, 0, *image);
}

TEST(Frames, CoordinatesFollowTheFrameNumber) {
    EXPECT_EQ(familyRecords("<frame><frameid>2</frameid><x1>a</x1><y1>b</y1><x2>c</x2>"
                            "<y2>d</y2></frame>"),
              (Records{{1041, "a"}, {1042, "b"}, {1043, "c"}, {1044, "d"}}));
    EXPECT_EQ(familyRecords("<frame><frameid>2</frameid><y2>d</y2><x2>c</x2><x1>a</x1></frame>"),
              (Records{{1041, "a"}, {1043, "c"}, {1044, "d"}}));
}

TEST(SecureNumbers, NeedTheBlankInFrontOfTheOuterTags) {
    const std::string indented =
        "<list>\r\n  <securenum>\r\n    <num>2</num>\r\n    <securenum>12345</securenum>\r\n"
        "  </securenum>\r\n</list>\r\n";
    EXPECT_EQ(familyRecords(indented), (Records{{1263, "12345"}}));
    EXPECT_EQ(familyRecords("<securenum><num>2</num><securenum>12345</securenum></securenum>"),
              Records{});
    EXPECT_EQ(familyRecords(" <securenum><num>9</num><securenum>1</securenum> </securenum>"),
              (Records{{1270, "1"}}));
}

TEST(ElementNumber, StartsAtZeroAndCarriesAcrossLoops) {
    // No number read yet: frame 0. Then the secure number's 3 carries into the I/O
    // element without its own number, and that element's number into the zone.
    EXPECT_EQ(familyRecords("<frame><x1>a</x1></frame>"
                            " <securenum><num>3</num><securenum>s</securenum> </securenum>"
                            "<io><enable>false</enable></io>"
                            "<geofenceframe_hlp></geofenceframe_hlp>"),
              (Records{{1021, "a"}, {1264, "s"}, {1330, "false"}, {1050, "0"}}));
    // Within a loop too: the second element repeats the first one's identifiers.
    EXPECT_EQ(familyRecords("<io><ioid>3</ioid><priority>1</priority></io>"
                            "<io><priority>2</priority></io>"),
              (Records{{1331, "1"}, {1331, "2"}}));
    // A number tag that holds no number gives 0.
    EXPECT_EQ(familyRecords("<io><ioid>x</ioid><avgcounter>4</avgcounter></io>"),
              (Records{{1305, "4"}}));
}

TEST(IoElements, ValuesAreTextAndInTagOrder) {
    EXPECT_EQ(
        familyRecords("<io><ioid>1</ioid><avgcounter>6</avgcounter><operand>5</operand>"
                      "<lowlevel>4</lowlevel><highlevel>3</highlevel>"
                      "<priority>2</priority><enable>true</enable></io>"),
        (Records{{1310, "true"}, {1311, "2"}, {1312, "3"}, {1313, "4"}, {1314, "5"}, {1315, "6"}}));
}

TEST(Zones, SettingsAreTheWeightedSumInDecimal) {
    EXPECT_EQ(familyRecords("<geofenceframe_hlp><frameid>1</frameid><shapetype>1</shapetype>"
                            "<priority>2</priority><enterevent>1</enterevent>"
                            "<exitevent>0</exitevent></geofenceframe_hlp>"
                            "<geofenceframe_hlp><frameid>3</frameid></geofenceframe_hlp>"),
              (Records{{1030, "21"}, {1050, "0"}}));
    EXPECT_EQ(familyRecords("<geofenceframe_hlp><priority>-3</priority></geofenceframe_hlp>"),
              (Records{{1020, "-6"}}));
    // Each term saturates at the 32-bit limits; the sum itself does not wrap.
    EXPECT_EQ(familyRecords("<geofenceframe_hlp><shapetype>99999999999</shapetype>"
                            "<exitevent>2147483647</exitevent></geofenceframe_hlp>"),
              (Records{{1020, "70866960351"}}));
    EXPECT_EQ(familyRecords("<geofenceframe_hlp><shapetype>12333333333333333333333</shapetype>"
                            "</geofenceframe_hlp>"),
              (Records{{1020, "2147483647"}}));
    EXPECT_EQ(familyRecords("<geofenceframe_hlp><shapetype>-99999999999</shapetype>"
                            "<priority>-2147483648</priority><enterevent>-2147483648</enterevent>"
                            "<exitevent>-2147483648</exitevent></geofenceframe_hlp>"),
              (Records{{1020, "-109521666048"}}));
}

TEST(OperatorCodes, JoinedWithCommasAndAlwaysWritten) {
    const auto codeList = [](const std::string& xml) {
        for (const Record& record : recordsOf(xml)) {
            if (record.first == 1271) return record.second;
        }
        return std::string("<missing>");
    };
    EXPECT_EQ(codeList("<operatorcode><code>24601</code></operatorcode>"
                       "<operatorcode><code></code></operatorcode>"
                       "<operatorcode>no code</operatorcode>"
                       "<operatorcode><code>24602</code></operatorcode>"),
              "24601,,24602");
    EXPECT_EQ(codeList(""), "");
    // Nested elements repeat one code per element: a list too long to send is refused.
    std::string nested;
    for (int i = 0; i < 3000; ++i) nested += "<operatorcode>";
    nested += "<code>" + std::string(40, 'c') + "</code>";
    for (int i = 0; i < 3000; ++i) nested += "</operatorcode>";
    EXPECT_FALSE(encodeStatus(nested).ok());
    // Operator codes inside the operator section went with it.
    EXPECT_EQ(codeList("<operator><operatorcode><code>1</code></operatorcode></operator>"), "");
}

TEST(Schedules, WeekdayThenTimesAsTwoHexDigits) {
    const std::string times =
        "<senddaytime><senddtime>8</senddtime></senddaytime>"
        "<senddaytime>none</senddaytime>"
        "<senddaytime><senddtime> +20x</senddtime></senddaytime>";
    EXPECT_EQ(recordsOf("<sendweekday><sendwday>127</sendwday></sendweekday>" + times).at(1),
              Record(1272, "7F0814"));
    EXPECT_EQ(recordsOf(times).at(1), Record(1272, "0814"));
    EXPECT_EQ(recordsOf("").at(1), Record(1272, ""));
    EXPECT_EQ(recordsOf("<smsweekday><smswday>255</smswday></smsweekday>"
                        "<smsdaytime><smsdtime>0</smsdtime></smsdaytime>")
                  .at(2),
              Record(1273, "FF00"));
    // Daytime elements inside the weekday section went with it.
    EXPECT_EQ(recordsOf("<sendweekday><sendwday>1</sendwday>"
                        "<senddaytime><senddtime>2</senddtime></senddaytime></sendweekday>")
                  .at(1),
              Record(1272, "01"));
}

TEST(Schedules, ProfileSchedulesOnlyWhenNotEmpty) {
    EXPECT_EQ(familyRecords("<sendweekday01></sendweekday01>"
                            "<senddaytime01>no time</senddaytime01>"),
              Records{});
    // Group 0 shares its identifier with the profile's send period.
    EXPECT_EQ(familyRecords("<home><sendperiod00>60</sendperiod00></home>"
                            "<senddaytime00><senddtime00>12</senddtime00></senddaytime00>"),
              (Records{{1283, "60"}, {1283, "0C"}}));
}

TEST(Schedules, NumbersOutsideOneByteAreRefused) {
    for (const char* xml : {"<sendweekday><sendwday>256</sendwday></sendweekday>",
                            "<senddaytime><senddtime>-1</senddtime></senddaytime>",
                            "<smsdaytime><smsdtime>99999999999</smsdtime></smsdaytime>",
                            "<senddaytime21><senddtime21>300</senddtime21></senddaytime21>"}) {
        auto image = encodeOk("");
        const Status status = EncodeConfigText(xml, 0, *image);
        EXPECT_FALSE(status.ok()) << xml;
        EXPECT_NE(status.message().find("outside 0..255"), std::string::npos) << xml;
        EXPECT_EQ(image->length, 17) << xml;
    }
}

TEST(Identifiers, OutsideSixteenBitsAreRefusedNotWrapped) {
    // Highest and lowest numbers whose identifiers still fit.
    EXPECT_EQ(familyRecords("<frame><frameid>6451</frameid><x1>a</x1><y2>d</y2></frame>"),
              (Records{{65531, "a"}, {65534, "d"}}));
    EXPECT_EQ(familyRecords("<frame><frameid>-102</frameid><x1>a</x1></frame>"),
              (Records{{1, "a"}}));
    EXPECT_EQ(familyRecords(" <securenum><num>64274</num><securenum>s</securenum> </securenum>"
                            " <securenum><num>-1261</num><securenum>t</securenum> </securenum>"),
              (Records{{65535, "s"}, {0, "t"}}));
    EXPECT_EQ(familyRecords("<io><ioid>-130</ioid><enable>e</enable></io>"), (Records{{0, "e"}}));
    EXPECT_EQ(familyRecords("<geofenceframe_hlp><frameid>6451</frameid></geofenceframe_hlp>"),
              (Records{{65530, "0"}}));

    for (const char* xml : {
             "<frame><frameid>6452</frameid><x1>a</x1></frame>",
             "<frame><frameid>-103</frameid><y2>a</y2></frame>",
             " <securenum><num>64275</num><securenum>s</securenum> </securenum>",
             " <securenum><num>-1262</num><securenum>s</securenum> </securenum>",
             "<io><ioid>6424</ioid><enable>e</enable></io>",
             "<io><ioid>99999999999</ioid><enable>e</enable></io>",
             "<geofenceframe_hlp><frameid>6452</frameid></geofenceframe_hlp>",
             "<geofenceframe_hlp><frameid>-103</frameid></geofenceframe_hlp>",
         }) {
        const Status status = encodeStatus(xml);
        EXPECT_FALSE(status.ok()) << xml;
        EXPECT_NE(status.message().find("outside 0..65535"), std::string::npos) << xml;
    }
    // An out-of-range number that writes no record is no fault.
    EXPECT_TRUE(encodeStatus("<frame><frameid>99999</frameid></frame>").ok());
}

}  // namespace
}  // namespace vela
