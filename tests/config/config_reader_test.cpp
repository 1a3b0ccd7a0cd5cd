#include "config/config_reader.h"

#include "config/image_decoder.h"
#include "image_test_util.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace vela {
namespace {

using test::encodeOk;
using test::Record;
using test::recordsOf;
using test::toHex;
using Records = std::vector<Record>;

const char* const kSmallestImage =
    "000F440003"
    "04F70000"
    "04F80000"
    "04F90000";

std::string crlfLines(std::initializer_list<const char*> lines) {
    std::string text;
    for (const char* line : lines) text += std::string(line) + "\r\n";
    return text;
}

TEST(ConfigReader, WorkedExampleGivesTheExactFiftyBytes) {
    const std::string xml = crlfLines({"<sys>",
                                       "<powermode>false</powermode>",
                                       "</sys>",
                                       "<gps>",
                                       "<enable>true</enable>",
                                       "<minperiod>60</minperiod>",
                                       "</gps>",
                                       "<operatorcode>",
                                       "<code>24601</code>",
                                       "</operatorcode>",
                                       "<operatorcode>",
                                       "<code>24602</code>",
                                       "</operatorcode>",
                                       "<sendweekday>",
                                       "<sendwday>127</sendwday>",
                                       "</sendweekday>",
                                       "<senddaytime>",
                                       "<senddtime>8</senddtime>",
                                       "</senddaytime>",
                                       "<senddaytime>",
                                       "<senddtime>20</senddtime>",
                                       "</senddaytime>"});
    const auto image = encodeOk(xml);
    EXPECT_EQ(image->length, 50);
    EXPECT_EQ(toHex(*image),
              "0030440006"
              "03E8000130"
              "03F2000131"
              "03F300023630"
              "04F7000B32343630312C3234363032"
              "04F80006374630383134"
              "04F90000");
}

TEST(ConfigReader, NothingKnownGivesTheSmallestImage) {
    for (const char* xml : {"", "<?xml version=\"1.0\"?><config><other>1</other></config>",
                            "<sys powermode=\"1\">x</sys>"}) {
        EXPECT_EQ(toHex(*encodeOk(xml)), kSmallestImage) << xml;
    }
}

TEST(ConfigReader, LetterCaseDoesNotMatterAndValuesArriveLowered) {
    const std::string lower = "<gprs><apn>internet.provider</apn><ip>10.0.0.1</ip></gprs>";
    const std::string mixed = "<GPRS><Apn>Internet.PROVIDER</APN><iP>10.0.0.1</Ip></gPrS>";
    EXPECT_EQ(toHex(*encodeOk(mixed)), toHex(*encodeOk(lower)));
    EXPECT_EQ(
        recordsOf(mixed),
        (Records{
            {1242, "internet.provider"}, {1245, "10.0.0.1"}, {1271, ""}, {1272, ""}, {1273, ""}}));
}

TEST(ConfigReader, FlagIsZeroOnlyForExactlyFalse) {
    const auto flagOf = [](const std::string& value) {
        return recordsOf("<sys><powermode>" + value + "</powermode></sys>").front().second;
    };
    EXPECT_EQ(flagOf("false"), "0");
    EXPECT_EQ(flagOf("FALSE"), "0");
    EXPECT_EQ(flagOf("False"), "0");
    EXPECT_EQ(flagOf(" false"), "1");
    EXPECT_EQ(flagOf("no"), "1");
    EXPECT_EQ(flagOf(""), "1");
    EXPECT_EQ(toHex(*encodeOk("<gps><enable>yes please</enable></gps>")).substr(10, 10),
              "03F2000131");
}

TEST(ConfigReader, TextValuesAreUntrimmedAndUndecoded) {
    EXPECT_EQ(recordsOf("<gps><minperiod> 60 </minperiod></gps>").front(), Record(1011, " 60 "));
    EXPECT_EQ(recordsOf("<sms><password>a&amp;b</password></sms>").front(),
              Record(1253, "a&amp;b"));
    EXPECT_EQ(toHex(*encodeOk("<gprs><apn></apn></gprs>")).substr(10, 8), "04DA0000");
    const std::string longValue(300, 'v');
    EXPECT_EQ(toHex(*encodeOk("<gsm><minsavedrecords>" + longValue + "</minsavedrecords></gsm>"))
                  .substr(10, 8),
              "04D0012C");
}

TEST(ConfigReader, OnlyPresentTagsGiveRecords) {
    EXPECT_EQ(recordsOf("<gps><minperiod>5</minperiod><minangle>9</minangle></gps>"),
              (Records{{1011, "5"}, {1013, "9"}, {1271, ""}, {1272, ""}, {1273, ""}}));
}

// One of every section, loop and value tag, to pin the order of all records.
TEST(ConfigReader, EveryStepInWalkOrder) {
    const std::string xml =
        "<sys><powermode>0</powermode></sys>"
        "<gps><enable>e</enable><minperiod>a</minperiod><mindist>b</mindist>"
        "<minangle>c</minangle></gps>"
        "<gsm><transferprotocol>t</transferprotocol><minsavedrecords>m</minsavedrecords></gsm>"
        "<gprs><enable>false</enable><apn>apn</apn><username>u</username>"
        "<password>p</password><ip>i</ip><port>po</port></gprs>"
        "<sms><enable>x</enable><login>l</login><password>sp</password></sms>"
        "<servernum><serverphonenum>370</serverphonenum></servernum>"
        "<geofence><framebordersize>50</framebordersize></geofence>"
        "<frame><frameid>1</frameid><x1>x1</x1><y1>y1</y1><x2>x2</x2><y2>y2</y2></frame>"
        "\n <securenum><num>3</num><securenum>sn</securenum> </securenum>"
        "<operator><sendperiod>sp</sendperiod><timestep>ts</timestep></operator>"
        "<operatorcode><code>1</code></operatorcode>"
        "<io><ioid>2</ioid><enable>en</enable><priority>pr</priority><highlevel>hi</highlevel>"
        "<lowlevel>lo</lowlevel><operand>op</operand><avgcounter>av</avgcounter></io>"
        "<geofenceframe_hlp><frameid>4</frameid><shapetype>1</shapetype></geofenceframe_hlp>"
        "<sendweekday><sendwday>1</sendwday></sendweekday>"
        "<senddaytime><senddtime>2</senddtime></senddaytime>"
        "<smsweekday><smswday>3</smswday></smsweekday>"
        "<smsdaytime><smsdtime>4</smsdtime></smsdaytime>"
        "<home><minangle01>h9</minangle01><mindist01>h5</mindist01><sendperiod01>h7</sendperiod01>"
        "<minsavedrecords01>h6</minsavedrecords01><minperiod01>h4</minperiod01>"
        "<sendperiod00>h3</sendperiod00><minsavedrecords00>h1</minsavedrecords00>"
        "<minperiod00>h0</minperiod00></home>"
        "<roaming><minperiod10>r0</minperiod10><minsavedrecords10>r1</minsavedrecords10>"
        "<sendperiod10>r3</sendperiod10><minperiod11>r4</minperiod11>"
        "<minsavedrecords11>r6</minsavedrecords11><sendperiod11>r7</sendperiod11>"
        "<mindist11>r5</mindist11><minangle11>r9</minangle11></roaming>"
        "<unknown><minperiod20>u0</minperiod20><minsavedrecords20>u1</minsavedrecords20>"
        "<sendperiod20>u3</sendperiod20><minperiod21>u4</minperiod21>"
        "<minsavedrecords21>u6</minsavedrecords21><sendperiod21>u7</sendperiod21>"
        "<mindist21>u5</mindist21><minangle21>u9</minangle21></unknown>"
        "<sendweekday00><sendwday00>16</sendwday00></sendweekday00>"
        "<senddaytime01><senddtime01>17</senddtime01></senddaytime01>"
        "<sendweekday10><sendwday10>18</sendwday10></sendweekday10>"
        "<sendweekday11><sendwday11>19</sendwday11></sendweekday11>"
        "<senddaytime20><senddtime20>20</senddtime20></senddaytime20>"
        "<sendweekday21><sendwday21>21</sendwday21></sendweekday21>"
        "<senddaytime21><senddtime21>22</senddtime21></senddaytime21>";
    EXPECT_EQ(
        recordsOf(xml),
        (Records{
            {1000, "1"},  {1010, "1"},  {1011, "a"},   {1012, "b"},    {1013, "c"},    {1231, "t"},
            {1232, "m"},  {1240, "0"},  {1242, "apn"}, {1243, "u"},    {1244, "p"},    {1245, "i"},
            {1246, "po"}, {1250, "1"},  {1252, "l"},   {1253, "sp"},   {1260, "370"},  {1020, "50"},
            {1031, "x1"}, {1032, "y1"}, {1033, "x2"},  {1034, "y2"},   {1264, "sn"},   {1270, "sp"},
            {1274, "ts"}, {1271, "1"},  {1320, "en"},  {1321, "pr"},   {1322, "hi"},   {1323, "lo"},
            {1324, "op"}, {1325, "av"}, {1060, "1"},   {1272, "0102"}, {1273, "0304"}, {1280, "h0"},
            {1281, "h1"}, {1283, "h3"}, {1284, "h4"},  {1286, "h6"},   {1287, "h7"},   {1285, "h5"},
            {1289, "h9"}, {1290, "r0"}, {1291, "r1"},  {1293, "r3"},   {1294, "r4"},   {1296, "r6"},
            {1297, "r7"}, {1295, "r5"}, {1299, "r9"},  {1600, "u0"},   {1601, "u1"},   {1603, "u3"},
            {1604, "u4"}, {1606, "u6"}, {1607, "u7"},  {1605, "u5"},   {1609, "u9"},   {1283, "10"},
            {1288, "11"}, {1293, "12"}, {1298, "13"},  {1603, "14"},   {1608, "1516"}}));
}

TEST(ConfigReader, ATakenSectionIsInvisibleToLaterSteps) {
    // Frames inside the geofence section went with it.
    EXPECT_EQ(recordsOf("<geofence><frame><x1>1</x1></frame></geofence>"),
              (Records{{1271, ""}, {1272, ""}, {1273, ""}}));
    // Only the first of two gps sections is read.
    EXPECT_EQ(recordsOf("<gps><mindist>1</mindist></gps><gps><mindist>2</mindist></gps>").front(),
              Record(1012, "1"));
}

TEST(ConfigReader, AdjacentSectionsAreBothRead) {
    // The cut takes the section and nothing more, so "</sys><gps>" keeps the gps section.
    EXPECT_EQ(recordsOf("<sys><powermode>false</powermode></sys><gps><mindist>7</mindist></gps>"),
              (Records{{1000, "0"}, {1012, "7"}, {1271, ""}, {1272, ""}, {1273, ""}}));
    EXPECT_EQ(
        recordsOf("<home></home><sendweekday00><sendwday00>1</sendwday00></sendweekday00>").back(),
        Record(1283, "01"));
}

TEST(ConfigReader, ReversedSectionTagsGiveAnEmptySectionAndLeaveTheRest) {
    // The gps section stands between the reversed sys tags and is still found.
    EXPECT_EQ(recordsOf("</sys><gps><mindist>7</mindist></gps><sys><powermode>no</powermode>"),
              (Records{{1012, "7"}, {1271, ""}, {1272, ""}, {1273, ""}}));
}

TEST(ConfigReader, DeviceTypeOtherThanZeroLeavesTheImageAsItWas) {
    auto image = encodeOk("<sys><powermode>1</powermode></sys>");
    const std::string before = toHex(*image);
    const Status status = EncodeConfigText("<gps><mindist>7</mindist></gps>", 1, *image);
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.message().find("device type 1"), std::string::npos);
    EXPECT_EQ(toHex(*image), before);
}

TEST(ConfigReader, ImageUpToTheLimitIsBuiltAndBeyondRefused) {
    // 17 bytes of the smallest image plus one record of 4 + n bytes.
    const auto withApnOf = [](std::size_t n) {
        return "<gprs><apn>" + std::string(n, 'a') + "</apn></gprs>";
    };
    const auto full = encodeOk(withApnOf(65535 - 17 - 4));
    EXPECT_EQ(full->length, 65535);
    EXPECT_EQ(toHex(*full).substr(0, 10), "FFFD440004");
    EXPECT_TRUE(DecodeImage(full->view()).consistent());

    auto image = encodeOk("<sys><powermode>1</powermode></sys>");
    const std::string before = toHex(*image);
    for (const std::size_t n :
         {std::size_t{65535 - 17 - 3}, std::size_t{65536}, std::size_t{200000}}) {
        const Status status = EncodeConfigText(withApnOf(n), 0, *image);
        EXPECT_FALSE(status.ok()) << n;
        EXPECT_EQ(toHex(*image), before);
    }
    // Many small records that together outgrow the image.
    std::string frames;
    for (int i = 0; i < 6000; ++i) frames += "<frame><x1>1.2345</x1><y1>1.2345</y1></frame>";
    EXPECT_FALSE(EncodeConfigText(frames, 0, *image).ok());
    EXPECT_EQ(toHex(*image), before);
}

class ConfigFileTest : public ::testing::Test {
protected:
    test::TempDir dir;
};

TEST_F(ConfigFileTest, UnreadableFileIsAnErrorAndKeepsTheImage) {
    auto image = encodeOk("<sys><powermode>1</powermode></sys>");
    const std::string before = toHex(*image);

    const Status missing = ReadConfigFile(dir / "no-such.xml", 0, *image);
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.message().find("no-such.xml"), std::string::npos) << missing.message();
    EXPECT_NE(missing.message().find("No such file"), std::string::npos) << missing.message();

    const Status directory = ReadConfigFile(dir.path(), 0, *image);
    EXPECT_FALSE(directory.ok());
    EXPECT_EQ(toHex(*image), before);
}

TEST_F(ConfigFileTest, EmptyFileGivesTheSmallestImage) {
    test::writeFile(dir / "empty.xml", "");
    auto image = encodeOk("<sys><powermode>1</powermode></sys>");
    ASSERT_TRUE(ReadConfigFile(dir / "empty.xml", 0, *image).ok());
    EXPECT_EQ(toHex(*image), kSmallestImage);
}

TEST_F(ConfigFileTest, FileIsReadUpToItsFirstZeroByte) {
    std::string content = "<gps><mindist>7</mindist></gps>";
    content += '\0';
    content += "<sys><powermode>1</powermode></sys>";
    test::writeFile(dir / "zero.xml", content);
    auto image = std::make_unique<ConfigImage>();
    ASSERT_TRUE(ReadConfigFile(dir / "zero.xml", 0, *image).ok());
    EXPECT_EQ(toHex(*image), toHex(*encodeOk("<gps><mindist>7</mindist></gps>")));
}

TEST_F(ConfigFileTest, LargeFileIsReadWhole) {
    // Longer than one read chunk; the only section stands at the end.
    const std::string content =
        std::string(200000, ' ') + "<servernum><serverphonenum>1</serverphonenum></servernum>";
    test::writeFile(dir / "large.xml", content);
    auto image = std::make_unique<ConfigImage>();
    ASSERT_TRUE(ReadConfigFile(dir / "large.xml", 0, *image).ok());
    EXPECT_EQ(toHex(*image), toHex(*encodeOk(content)));
    EXPECT_EQ(image->length, 17 + 5);
}

}  // namespace
}  // namespace vela
