// Any file content must encode into a self-consistent image or be refused, never
// crash, and a refusal must leave the previous image untouched.
#include "config/config_reader.h"
#include "config/image_decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

uint16_t uint16At(const vela::ConfigImage& image, std::size_t offset) {
    return static_cast<uint16_t>((image.bytes[offset] << 8) | image.bytes[offset + 1]);
}

// The invariants, walked here by hand so that they do not rest on the decoder alone.
void checkImage(const vela::ConfigImage& image) {
    const std::size_t length = image.length;
    check(length >= 17);
    check(uint16At(image, 0) == length - 2);
    check(image.bytes[2] == 0x44);
    std::size_t offset = 5;
    std::size_t records = 0;
    while (offset < length) {
        check(length - offset >= 4);
        offset += 4 + uint16At(image, offset + 2);
        ++records;
    }
    check(offset == length);
    check(uint16At(image, 3) == records);
    check(vela::DecodeImage(image.view()).consistent());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // One image for all runs (it is 64 KiB), reset to a recognisable earlier image so
    // that a refusal can be seen to keep it.
    static const auto image = std::make_unique<vela::ConfigImage>();
    static const auto earlier = [] {
        auto bytes = std::make_unique<vela::ConfigImage>();
        bytes->bytes.fill(0xA5);
        bytes->length = 1234;
        return bytes;
    }();
    *image = *earlier;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const vela::Status status = vela::EncodeConfigText(text, 0, *image);
    if (status.ok()) {
        checkImage(*image);
    } else {
        check(!status.message().empty());
        check(image->length == earlier->length);
        check(std::memcmp(image->bytes.data(), earlier->bytes.data(), image->bytes.size()) == 0);
    }
    return 0;
}
