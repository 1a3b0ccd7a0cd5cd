#include "config/image_decoder.h"

#include "config/image_writer.h"

#include <algorithm>
#include <cstdio>

namespace vela {
namespace {

uint16_t uint16At(std::span<const uint8_t> bytes, std::size_t offset) {
    return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

}  // namespace

DecodedImage DecodeImage(std::span<const uint8_t> bytes) {
    DecodedImage image;
    image.size = bytes.size();
    const auto problem = [&image](std::string text) { image.problems.push_back(std::move(text)); };
    if (bytes.size() > kMaxImageLength) {
        problem("the image is " + std::to_string(bytes.size()) +
                " bytes long; its length fields carry at most " + std::to_string(kMaxImageLength));
    }
    if (bytes.size() < kImageHeaderLength) {
        problem("the image is " + std::to_string(bytes.size()) +
                " bytes long, shorter than its 5-byte header");
        return image;
    }
    image.restLength = uint16At(bytes, 0);
    image.marker = bytes[2];
    image.recordCount = uint16At(bytes, 3);
    if (*image.restLength != bytes.size() - 2) {
        problem("rest length " + std::to_string(*image.restLength) + " does not match the " +
                std::to_string(bytes.size() - 2) + " bytes that follow it");
    }
    if (*image.marker != kImageMarker) {
        char text[64];
        std::snprintf(text, sizeof text, "marker 0x%.2X is not 0x44", *image.marker);
        problem(text);
    }
    std::size_t offset = kImageHeaderLength;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 4) {
            problem(std::to_string(bytes.size() - offset) + " stray bytes at offset " +
                    std::to_string(offset) + ", too few for a record");
            break;
        }
        DecodedRecord record;
        record.offset = offset;
        record.id = uint16At(bytes, offset);
        record.length = uint16At(bytes, offset + 2);
        const std::size_t available = bytes.size() - offset - 4;
        const std::size_t taken = std::min<std::size_t>(record.length, available);
        record.value =
            std::string_view(reinterpret_cast<const char*>(bytes.data() + offset + 4), taken);
        image.records.push_back(record);
        if (record.length > available) {
            problem("record " + std::to_string(record.id) + " at offset " + std::to_string(offset) +
                    " declares " + std::to_string(record.length) + " value bytes but only " +
                    std::to_string(available) + " remain");
            break;
        }
        offset += 4 + record.length;
    }
    if (image.records.size() != *image.recordCount) {
        problem("the header counts " + std::to_string(*image.recordCount) + " records, " +
                std::to_string(image.records.size()) + " found");
    }
    return image;
}

std::string ShowValue(std::string_view value) {
    std::string shown = "\"";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            shown += '\\';
            shown += c;
        } else if (byte >= 0x20 && byte < 0x7F) {
            shown += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%.2X", byte);
            shown += escaped;
        }
    }
    shown += '"';
    return shown;
}

}  // namespace vela
