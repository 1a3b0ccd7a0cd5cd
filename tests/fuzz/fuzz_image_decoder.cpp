// What "velactl decode" runs, on any bytes: a consistent image is exactly its records
// written again; an inconsistent one is reported, and no record reaches past the end.
#include "config/image_decoder.h"
#include "config/image_writer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes ShowValue; checks on the way that only printable ASCII was written.
std::string unshow(const std::string& shown) {
    check(shown.size() >= 2 && shown.front() == '"' && shown.back() == '"');
    std::string value;
    for (std::size_t i = 1; i + 1 < shown.size(); ++i) {
        const char c = shown[i];
        check(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);
        check(c != '"');
        if (c != '\\') {
            value += c;
            continue;
        }
        check(i + 2 < shown.size());
        const char next = shown[++i];
        if (next == '"' || next == '\\') {
            value += next;
            continue;
        }
        check(next == 'x' && i + 3 < shown.size());
        const int high = hexDigit(shown[i + 1]);
        const int low = hexDigit(shown[i + 2]);
        check(high >= 0 && low >= 0);
        value += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const vela::DecodedImage image = vela::DecodeImage(bytes);
    check(image.size == size);

    const uint8_t* const end = data + size;
    std::size_t expectedOffset = vela::kImageHeaderLength;
    for (std::size_t i = 0; i < image.records.size(); ++i) {
        const vela::DecodedRecord& record = image.records[i];
        // Records follow each other from offset 5; their values lie inside the input.
        check(record.offset == expectedOffset);
        check(record.offset + 4 <= size);
        const auto* value = reinterpret_cast<const uint8_t*>(record.value.data());
        check(value == data + record.offset + 4);
        check(value + record.value.size() <= end);
        check(record.value.size() <= record.length);
        // A value cut short by the end is the last record and is reported.
        if (record.value.size() < record.length) {
            check(i + 1 == image.records.size());
            check(!image.consistent());
        }
        check(unshow(vela::ShowValue(record.value)) == record.value);
        expectedOffset = record.offset + 4 + record.length;
    }

    if (size < vela::kImageHeaderLength) {
        check(!image.consistent());
        check(!image.restLength && !image.marker && !image.recordCount);
        check(image.records.empty());
        return 0;
    }
    check(image.restLength && image.marker && image.recordCount);
    const bool lengthAgrees = *image.restLength == size - 2;
    const bool countAgrees = *image.recordCount == image.records.size();
    if (!lengthAgrees || *image.marker != vela::kImageMarker || !countAgrees ||
        expectedOffset != size) {
        check(!image.consistent());
    }
    if (!image.consistent()) return 0;

    // A consistent image is exactly its records written again.
    static const auto rewritten = std::make_unique<vela::ConfigImage>();
    vela::ImageWriter writer;
    for (const vela::DecodedRecord& record : image.records) {
        check(writer.AppendRecord(record.id, record.value).ok());
    }
    writer.FinishImage(*rewritten);
    check(rewritten->length == size);
    check(std::memcmp(rewritten->bytes.data(), data, size) == 0);
    return 0;
}
