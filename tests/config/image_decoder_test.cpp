#include "config/image_decoder.h"

#include "config/image_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vela {
namespace {

std::vector<uint8_t> bytesOf(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

TEST(ImageWriter, WritesRecordsAndHeaderBigEndian) {
    ImageWriter writer;
    ASSERT_TRUE(writer.AppendRecord(0x1234, "ab").ok());
    ASSERT_TRUE(writer.AppendRecord(65535, "").ok());
    auto image = std::make_unique<ConfigImage>();
    image->bytes.fill(0xEE);
    writer.FinishImage(*image);
    EXPECT_EQ(std::vector<uint8_t>(image->view().begin(), image->view().end()),
              bytesOf({0x00, 0x0D, 0x44, 0x00, 0x02, 0x12, 0x34, 0x00, 0x02, 'a', 'b', 0xFF, 0xFF,
                       0x00, 0x00}));
    // Bytes past the image are not its business.
    EXPECT_EQ(image->bytes[15], 0xEE);
}

TEST(ImageWriter, RefusedRecordLeavesTheBuildAsItWas) {
    ImageWriter writer;
    EXPECT_FALSE(writer.AppendRecord(-1, "x").ok());
    EXPECT_FALSE(writer.AppendRecord(65536, "x").ok());
    EXPECT_FALSE(writer.AppendRecord(1, std::string(65536, 'x')).ok());
    EXPECT_EQ(writer.length(), 5u);
    EXPECT_EQ(writer.recordCount(), 0u);
}

TEST(DecodeImage, ListsHeaderAndRecords) {
    const auto bytes = bytesOf(
        {0x00, 0x0E, 0x44, 0x00, 0x02, 0x03, 0xE8, 0x00, 0x01, '0', 0x04, 0xF7, 0x00, 0x01, 0x07});
    // 15 bytes: rest length 13 would be right, so first the broken form.
    const DecodedImage wrong = DecodeImage(bytes);
    EXPECT_FALSE(wrong.consistent());
    ASSERT_EQ(wrong.problems.size(), 1u);
    EXPECT_NE(wrong.problems[0].find("rest length 14"), std::string::npos);

    auto fixed = bytes;
    fixed[1] = 0x0D;
    const DecodedImage image = DecodeImage(fixed);
    EXPECT_TRUE(image.consistent());
    EXPECT_EQ(image.restLength, 13);
    EXPECT_EQ(image.marker, 0x44);
    EXPECT_EQ(image.recordCount, 2);
    ASSERT_EQ(image.records.size(), 2u);
    EXPECT_EQ(image.records[0].id, 1000);
    EXPECT_EQ(image.records[0].value, "0");
    EXPECT_EQ(image.records[1].offset, 10u);
    EXPECT_EQ(ShowValue(image.records[1].value), "\"\\x07\"");
}

TEST(DecodeImage, ReportsEveryKindOfInconsistency) {
    EXPECT_FALSE(DecodeImage(bytesOf({0x00, 0x02, 0x44})).consistent());
    // Wrong marker.
    EXPECT_FALSE(DecodeImage(bytesOf({0x00, 0x03, 0x45, 0x00, 0x00})).consistent());
    // Count says one record, none follows.
    EXPECT_FALSE(DecodeImage(bytesOf({0x00, 0x03, 0x44, 0x00, 0x01})).consistent());
    // A record whose value runs past the end.
    const auto truncatedBytes =
        bytesOf({0x00, 0x08, 0x44, 0x00, 0x01, 0x03, 0xE8, 0x00, 0x05, 'a'});
    const DecodedImage truncated = DecodeImage(truncatedBytes);
    EXPECT_FALSE(truncated.consistent());
    ASSERT_EQ(truncated.records.size(), 1u);
    EXPECT_EQ(truncated.records[0].value, "a");
    // Stray bytes after the last record.
    EXPECT_FALSE(
        DecodeImage(bytesOf({0x00, 0x09, 0x44, 0x00, 0x01, 0x03, 0xE8, 0x00, 0x00, 0x01, 0x02}))
            .consistent());
}

TEST(ShowValue, EscapesWhatATerminalWouldMisread) {
    EXPECT_EQ(ShowValue("a b"), "\"a b\"");
    EXPECT_EQ(ShowValue("\"\\\r\n\xC4"), "\"\\\"\\\\\\x0D\\x0A\\xC4\"");
}

}  // namespace
}  // namespace vela
