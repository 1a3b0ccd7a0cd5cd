#include "sim_tracker_image.h"

#include <algorithm>
#include <cstdio>

namespace velasim {
namespace {

constexpr std::size_t kHeaderSize = 5;
constexpr std::size_t kRecordHeaderSize = 4;
constexpr uint8_t kMarker = 0x44;

std::size_t readU16(std::span<const uint8_t> bytes, std::size_t offset) {
    return (static_cast<std::size_t>(bytes[offset]) << 8) | bytes[offset + 1];
}

std::string hexByte(uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2X", byte);
    return text;
}

}  // namespace

vela::Result<std::size_t> checkImageStructure(std::span<const uint8_t> image) {
    using R = vela::Result<std::size_t>;
    if (image.size() < kHeaderSize) {
        return R::Fail("shorter than its 5-byte header (" + std::to_string(image.size()) +
                       " bytes)");
    }
    if (readU16(image, 0) + 2 != image.size()) {
        return R::Fail("length field says " + std::to_string(readU16(image, 0) + 2) +
                       " bytes, received " + std::to_string(image.size()));
    }
    if (image[2] != kMarker) return R::Fail("marker is " + hexByte(image[2]) + ", not 44");
    const std::size_t counted = readU16(image, 3);
    std::size_t offset = kHeaderSize;
    std::size_t records = 0;
    while (offset < image.size()) {
        if (image.size() - offset < kRecordHeaderSize) {
            return R::Fail("record " + std::to_string(records + 1) + " at offset " +
                           std::to_string(offset) + " is cut short in its header");
        }
        const std::size_t valueLength = readU16(image, offset + 2);
        if (image.size() - offset - kRecordHeaderSize < valueLength) {
            return R::Fail("record " + std::to_string(records + 1) + " at offset " +
                           std::to_string(offset) + " runs past the end");
        }
        offset += kRecordHeaderSize + valueLength;
        ++records;
    }
    if (records != counted) {
        return R::Fail("header counts " + std::to_string(counted) + " records, found " +
                       std::to_string(records));
    }
    return records;
}

std::string describeImageDifference(std::span<const uint8_t> received,
                                    std::span<const uint8_t> expected) {
    const auto [r, e] =
        std::mismatch(received.begin(), received.end(), expected.begin(), expected.end());
    if (r == received.end() && e == expected.end()) return {};
    const auto offset = static_cast<std::size_t>(r - received.begin());
    std::string text = "first difference at byte " + std::to_string(offset) + ": received ";
    text += r == received.end() ? "nothing" : hexByte(*r);
    text += ", expected ";
    text += e == expected.end() ? "nothing" : hexByte(*e);
    text += " (received " + std::to_string(received.size()) + " bytes, expected " +
            std::to_string(expected.size()) + ")";
    return text;
}

}  // namespace velasim
