#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// One parameter record found in an image. `value` may be shorter than `length` when
// the image ends inside the record.
struct DecodedRecord {
    std::size_t offset = 0;
    uint16_t id = 0;
    uint16_t length = 0;
    std::string_view value;
};

// An image taken apart: its header fields, the records a walk from offset 5 finds, and
// every way in which the image contradicts itself.
struct DecodedImage {
    std::size_t size = 0;
    std::optional<uint16_t> restLength;
    std::optional<uint8_t> marker;
    std::optional<uint16_t> recordCount;
    std::vector<DecodedRecord> records;
    std::vector<std::string> problems;

    bool consistent() const { return problems.empty(); }
};

// Walks an image's header and records. The views in the result point into `bytes`.
DecodedImage DecodeImage(std::span<const uint8_t> bytes);

// A value for a terminal: printable ASCII as it is, anything else (and the quote and
// backslash) escaped, in double quotes.
std::string ShowValue(std::string_view value);

}  // namespace vela
