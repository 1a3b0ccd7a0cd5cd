// Configuration files that are not what the operator meant to pick: binary files,
// huge files, files with zero bytes, deeply repeated tags, a directory. Each gives an
// image or a clear refusal, in bounded time, and a refusal keeps the earlier image.
#include "config/config_reader.h"
#include "config/image_decoder.h"
#include "image_test_util.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vela {
namespace {

using test::Record;
using test::recordsOf;

// An image that no configuration file produces, to see that a refusal keeps it.
std::unique_ptr<ConfigImage> earlierImage() {
    auto image = std::make_unique<ConfigImage>();
    image->bytes.fill(0x5A);
    image->length = 4321;
    return image;
}

bool sameImage(const ConfigImage& a, const ConfigImage& b) {
    return a.length == b.length && a.bytes == b.bytes;
}

// Either a consistent image or a refusal with a reason and the earlier image intact.
void expectImageOrRefusal(const std::filesystem::path& file, const std::string& label) {
    auto image = earlierImage();
    const Status status = ReadConfigFile(file, kDeviceTypeFm2xxx, *image);
    if (status.ok()) {
        const DecodedImage decoded = DecodeImage(image->view());
        EXPECT_TRUE(decoded.consistent())
            << label << ": " << (decoded.problems.empty() ? "" : decoded.problems.front());
    } else {
        EXPECT_FALSE(status.message().empty()) << label;
        EXPECT_TRUE(sameImage(*image, *earlierImage())) << label << ": refusal changed the image";
    }
}

std::string repeat(std::string_view text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) out.append(text);
    return out;
}

class ConfigFaults : public ::testing::Test {
protected:
    test::TempDir dir;
};

TEST_F(ConfigFaults, BinaryFilesGiveAnImageOrAClearRefusal) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    // Random bytes alone, and random bytes between the tags the reader looks for, so
    // that binary values reach the records.
    const char* const tags[] = {"<gprs>",      "</gprs>",      "<apn>",          "</apn>",
                                "<frame>",     "</frame>",     "<x1>",           "</x1>",
                                "<frameid>",   "</frameid>",   "<senddaytime>",  "</senddaytime>",
                                "<senddtime>", "</senddtime>", "<operatorcode>", "</operatorcode>",
                                "<code>",      "</code>"};
    for (int round = 0; round < 40; ++round) {
        const std::size_t size = std::size_t{1} << (round % 18);
        std::string content;
        while (content.size() < size) {
            if (round % 2 == 1 && byte(random) < 32) {
                content += tags[static_cast<std::size_t>(byte(random)) % std::size(tags)];
            } else {
                content += static_cast<char>(byte(random));
            }
        }
        const auto file = dir / ("binary-" + std::to_string(round));
        test::writeFile(file, content);
        expectImageOrRefusal(file, "round " + std::to_string(round));
    }

    // Binary values too long for their 16-bit length fields are refused, not wrapped.
    std::string blob(70000, '\0');
    for (char& c : blob) c = static_cast<char>(1 + byte(random) % 255);  // no zero byte
    test::writeFile(dir / "long-value", "<gprs><apn>" + blob + "</apn></gprs>");
    auto image = earlierImage();
    const Status status = ReadConfigFile(dir / "long-value", kDeviceTypeFm2xxx, *image);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.message().find("65535"), std::string::npos) << status.message();
    EXPECT_TRUE(sameImage(*image, *earlierImage()));

    // Many values that each fit but together outgrow the image.
    test::writeFile(
        dir / "many-values",
        repeat("<frame><frameid>1</frameid><x1>" + blob.substr(0, 1000) + "</x1></frame>", 70));
    expectImageOrRefusal(dir / "many-values", "many values");
    image = earlierImage();
    EXPECT_FALSE(ReadConfigFile(dir / "many-values", kDeviceTypeFm2xxx, *image).ok());
}

TEST_F(ConfigFaults, AFileAtTheLimitIsReadToTheEndAndOneByteMoreIsRefused) {
    // Megabytes of elements the reader does not know, and the one value it does know
    // at the very end: the whole file is read, and nothing of the filler leaks in.
    const std::string tail = "<gprs>\r\n<apn>at-the-end</apn>\r\n</gprs>\r\n";
    const auto file = dir / "huge.xml";
    {
        std::ofstream out(file, std::ios::binary);
        const std::string line = "<pad>" + std::string(88, 'q') + "</pad>\r\n";
        const std::string block = repeat(line, 10000);
        std::size_t left = kMaxConfigFileBytes - tail.size();
        while (left > 0) {
            const std::size_t n = std::min(left, block.size());
            out.write(block.data(), static_cast<std::streamsize>(n));
            left -= n;
        }
        out << tail;
        ASSERT_TRUE(out.good());
    }
    ASSERT_EQ(std::filesystem::file_size(file), kMaxConfigFileBytes);

    auto image = earlierImage();
    Status status = ReadConfigFile(file, kDeviceTypeFm2xxx, *image);
    ASSERT_TRUE(status.ok()) << status.message();
    EXPECT_EQ(test::toHex(*image), test::toHex(*test::encodeOk(tail)));

    std::filesystem::resize_file(file, kMaxConfigFileBytes + 1);
    image = earlierImage();
    status = ReadConfigFile(file, kDeviceTypeFm2xxx, *image);
    std::filesystem::remove(file);
    EXPECT_EQ(status.message(), file.string() + " is larger than 16777216 bytes");
    EXPECT_TRUE(sameImage(*image, *earlierImage()));
}

TEST_F(ConfigFaults, DocumentEndsAtTheFirstZeroByte) {
    const std::string head = "<gprs><apn>internet</apn></gprs>";
    const std::string after = "<sys><powermode>false</powermode></sys>";
    test::writeFile(dir / "nul.xml", head + std::string(1, '\0') + after);
    auto image = earlierImage();
    ASSERT_TRUE(ReadConfigFile(dir / "nul.xml", kDeviceTypeFm2xxx, *image).ok());
    EXPECT_EQ(test::toHex(*image), test::toHex(*test::encodeOk(head)));

    // A zero inside a value cuts it off with its closing tag: the value is absent.
    test::writeFile(dir / "nul-in-value.xml",
                    "<gprs><apn>inter" + std::string(1, '\0') + "net</apn></gprs>" + after);
    image = earlierImage();
    ASSERT_TRUE(ReadConfigFile(dir / "nul-in-value.xml", kDeviceTypeFm2xxx, *image).ok());
    EXPECT_EQ(test::toHex(*image), test::toHex(*test::encodeOk("")));

    // A file of zeros is an empty document (UTF-16 text looks much like this).
    test::writeFile(dir / "zeros.xml", std::string(4096, '\0') + after);
    image = earlierImage();
    ASSERT_TRUE(ReadConfigFile(dir / "zeros.xml", kDeviceTypeFm2xxx, *image).ok());
    EXPECT_EQ(test::toHex(*image), test::toHex(*test::encodeOk("")));
}

TEST_F(ConfigFaults, DeeplyRepeatedTagsEndInBoundedTime) {
    // A million openings that never close: no frame, an image all the same.
    const std::string openings = repeat("<frame>", 1'000'000);
    EXPECT_EQ(recordsOf(openings), recordsOf(""));

    // Nested elements: 200,000 openings, then as many closings. Every element spans the
    // rest of the nest; reading each afresh would scan megabytes per element.
    const std::size_t depth = 200'000;
    EXPECT_EQ(recordsOf(repeat("<frame>", depth) + repeat("</frame>", depth)), recordsOf(""));
    EXPECT_EQ(recordsOf(repeat("<io>", depth) + "<ioid>3</ioid>" + repeat("</io>", depth)),
              recordsOf(""));

    // The same nest with one value inside: every element holds it, so the records
    // outgrow the image and the file is refused with the reason.
    const std::string nested = repeat("<senddaytime>", depth) + "<senddtime>1</senddtime>" +
                               repeat("</senddaytime>", depth);
    auto image = earlierImage();
    const Status schedule = EncodeConfigText(nested, kDeviceTypeFm2xxx, *image);
    ASSERT_FALSE(schedule.ok());
    EXPECT_NE(schedule.message().find("65535"), std::string::npos) << schedule.message();
    EXPECT_TRUE(sameImage(*image, *earlierImage()));

    const std::string frames =
        repeat("<frame>", depth) + "<frameid>1</frameid><x1>7</x1>" + repeat("</frame>", depth);
    image = earlierImage();
    const Status frameStatus = EncodeConfigText(frames, kDeviceTypeFm2xxx, *image);
    ASSERT_FALSE(frameStatus.ok());
    EXPECT_NE(frameStatus.message().find("<frame> element 1"), std::string::npos)
        << frameStatus.message();
    EXPECT_TRUE(sameImage(*image, *earlierImage()));

    // Nested sections: the first opening and the first closing bound the section.
    const std::string sections =
        repeat("<gprs>", depth) + "<apn>deep</apn>" + repeat("</gprs>", depth);
    const std::vector<Record> records = recordsOf(sections);
    EXPECT_NE(std::find(records.begin(), records.end(), Record{1242, "deep"}), records.end());
}

TEST_F(ConfigFaults, DirectoryAsTheFileIsRefusedWithTheReason) {
    auto image = earlierImage();
    const Status status = ReadConfigFile(dir.path(), kDeviceTypeFm2xxx, *image);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.message().find(dir.path().string()), std::string::npos) << status.message();
    EXPECT_NE(status.message().find("directory"), std::string::npos) << status.message();
    EXPECT_TRUE(sameImage(*image, *earlierImage()));

    // As the operator meets it: the refusal text, then the reason.
    if (std::getenv("VELACTL") != nullptr) {
        const auto run =
            test::runProgram({test::toolPath("VELACTL"), "encode", dir.path().string()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(std::string(kErrorInXmlFile) + "\n", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("directory"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace vela
