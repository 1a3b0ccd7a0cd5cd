#pragma once

#include "common/result.h"
#include "config/config_image.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vela {

// Largest image and largest single value: both are carried in 16-bit length fields.
inline constexpr std::size_t kMaxImageLength = 65535;
inline constexpr std::size_t kMaxValueLength = 65535;
// Size of the header: rest length (2), marker (1), record count (2).
inline constexpr std::size_t kImageHeaderLength = 5;
inline constexpr uint8_t kImageMarker = 0x44;

// Builds one image: parameter records appended in order, the header written at the end.
// The records are staged in the writer and reach the ConfigImage only through
// FinishImage, so a build that is refused half-way leaves the previous image intact.
class ImageWriter {
public:
    ImageWriter();

    // Appends the record `id`, `value`. Refused (and nothing appended) when the
    // identifier does not fit 16 bits or when the value or the image would outgrow
    // their 16-bit length fields.
    Status AppendRecord(int64_t id, std::string_view value);

    // Writes the header and replaces `image` with the built bytes.
    void FinishImage(ConfigImage& image);

    std::size_t length() const { return bytes_.size(); }
    std::size_t recordCount() const { return recordCount_; }

private:
    void putUint16(std::size_t offset, std::size_t value);

    std::vector<uint8_t> bytes_;
    std::size_t recordCount_ = 0;
};

}  // namespace vela
