#include "image_test_util.h"

#include "config/config_reader.h"
#include "config/image_decoder.h"

#include <gtest/gtest.h>

namespace vela::test {

std::string toHex(const ConfigImage& image) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (const uint8_t byte : image.view()) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::unique_ptr<ConfigImage> encodeOk(std::string_view xml) {
    auto image = std::make_unique<ConfigImage>();
    const Status status = EncodeConfigText(xml, 0, *image);
    EXPECT_TRUE(status.ok()) << status.message();
    return image;
}

std::vector<Record> recordsOf(std::string_view xml) {
    const auto image = encodeOk(xml);
    const DecodedImage decoded = DecodeImage(image->view());
    EXPECT_TRUE(decoded.consistent()) << decoded.problems.front();
    std::vector<Record> records;
    for (const DecodedRecord& record : decoded.records) {
        records.emplace_back(record.id, std::string(record.value));
    }
    return records;
}

}  // namespace vela::test
