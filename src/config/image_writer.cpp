#include "config/image_writer.h"

#include <algorithm>
#include <string>

namespace vela {

ImageWriter::ImageWriter() : bytes_(kImageHeaderLength, 0) {}

Status ImageWriter::AppendRecord(int64_t id, std::string_view value) {
    if (id < 0 || id > 0xFFFF) {
        return Status::Fail("parameter identifier " + std::to_string(id) + " is outside 0..65535");
    }
    if (value.size() > kMaxValueLength) {
        return Status::Fail("the value of parameter " + std::to_string(id) + " is longer than " +
                            std::to_string(kMaxValueLength) + " bytes");
    }
    if (bytes_.size() + 4 + value.size() > kMaxImageLength) {
        return Status::Fail("the image would grow past " + std::to_string(kMaxImageLength) +
                            " bytes (at parameter " + std::to_string(id) + ")");
    }
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 4);
    putUint16(at, static_cast<std::size_t>(id));
    putUint16(at + 2, value.size());
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    ++recordCount_;
    return Status::Ok();
}

void ImageWriter::FinishImage(ConfigImage& image) {
    putUint16(0, bytes_.size() - 2);
    bytes_[2] = kImageMarker;
    putUint16(3, recordCount_);
    std::copy(bytes_.begin(), bytes_.end(), image.bytes.begin());
    image.length = static_cast<uint16_t>(bytes_.size());
}

void ImageWriter::putUint16(std::size_t offset, std::size_t value) {
    bytes_[offset] = static_cast<uint8_t>((value >> 8) & 0xFF);
    bytes_[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace vela
