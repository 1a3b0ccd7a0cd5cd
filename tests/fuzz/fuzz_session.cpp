// The session's receive path under any bytes in any chunking: the caller is identified
// once, on the read that brings the total to 17 bytes, by the last 15 bytes at that
// moment; the answer text has its fixed shape; the buffer stays bounded however much
// the caller floods.
//
// Input: byte 0 = number of chunk sizes n (mod 8), bytes 1..n = chunk sizes (0 means 256,
// sizes beyond the table repeat it; an empty table means one receive of everything),
// then the bytes the caller sends.
#include "link/config_session.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

std::string hex(uint8_t byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

// Holds the shape "%.2X%.2X (%.2X%.2X) Bytes" with "--" for a missing answer byte.
void checkAnswerText(const std::string& text, const std::vector<uint8_t>& answerSent,
                     const vela::ConfigImage& image) {
    check(text.size() == 17);
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t answerIndex = i + 1;
        const std::string shown = text.substr(2 * i, 2);
        if (answerIndex < answerSent.size()) {
            check(shown == hex(answerSent[answerIndex]));
        } else {
            check(shown == vela::kMissingByte);
        }
    }
    check(text.substr(4, 2) == " (");
    check(isUpperHex(text[6]) && isUpperHex(text[7]) && isUpperHex(text[8]) && isUpperHex(text[9]));
    check(text.substr(6, 4) == hex(image.bytes[0]) + hex(image.bytes[1]));
    check(text.substr(10) == ") Bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const auto image = [] {
        auto bytes = std::make_unique<vela::ConfigImage>();
        bytes->bytes[0] = 0x01;
        bytes->bytes[1] = 0xF4;
        bytes->length = 0x01F6;
        return bytes;
    }();
    const std::size_t tableSize = std::min<std::size_t>(data[0] % 8, size - 1);
    const std::span<const uint8_t> table(data + 1, tableSize);
    const std::span<const uint8_t> stream(data + 1 + tableSize, size - 1 - tableSize);

    // The caller as the main dialog plays it: identification, then the answer step.
    vela::ByteString receivedData;
    bool answerPending = false;
    bool identified = false;
    bool ended = false;
    std::size_t total = 0;        // bytes received before the image was sent
    std::vector<uint8_t> answer;  // bytes received after it, as sent
    std::size_t offset = 0;
    std::size_t read = 0;
    while (offset < stream.size() && !ended) {
        std::size_t chunk = stream.size() - offset;
        if (!table.empty()) {
            const uint8_t entry = table[read % table.size()];
            chunk = std::min<std::size_t>(entry == 0 ? vela::kReceiveChunk : entry, chunk);
        }
        ++read;
        const std::span<const uint8_t> bytes = stream.subspan(offset, chunk);
        offset += chunk;
        const std::size_t before = total;
        if (!answerPending) total += chunk;
        const vela::ReceiveStep step = vela::appendReceived(receivedData, bytes, answerPending);

        if (answerPending) {
            check(step == vela::ReceiveStep::Answer);
            answer.assign(bytes.begin(), bytes.end());
            // The answer step sees what came, up to one receive's worth.
            check(receivedData.size() == std::min(chunk, vela::kReceiveChunk));
            check(std::equal(receivedData.begin(), receivedData.end(), bytes.begin()));
            checkAnswerText(vela::formatAnswer(receivedData, *image), answer, *image);
            ended = true;
            break;
        }
        // Identification exactly on the read that reaches 17 bytes, never before.
        if (total < vela::kIdentificationLength) {
            check(step == vela::ReceiveStep::WaitForMore);
            check(receivedData.size() == total);
            continue;
        }
        check(before < vela::kIdentificationLength);
        check(!identified);
        check(step == vela::ReceiveStep::Identify);
        identified = true;
        // Before the identification only the tail that holds the IMEI is kept.
        check(receivedData.size() <= vela::kIdentificationLength - 1 + vela::kReceiveChunk);
        const std::string imei = vela::callerImei(receivedData);
        check(imei.size() == vela::kImeiLength);
        // The 17 bytes identify: the IMEI is their last 15; bytes after them are not it.
        check(std::equal(imei.begin(), imei.end(),
                         reinterpret_cast<const char*>(stream.data() + vela::kIdentificationLength -
                                                       vela::kImeiLength)));
        const bool allX = std::all_of(imei.begin(), imei.end(), [](char c) { return c == 'X'; });
        check(vela::isTestServer(imei) == allX);
        const std::string shown = vela::displayImei(imei);
        // Escaped: no control character, every byte of the IMEI still there in some form
        // (letters of UTF-8 pass through the escaper).
        check(shown.size() >= imei.size());
        for (const char c : shown) {
            check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
        if (allX) {
            ended = true;  // the port check passes; the connection is closed
            break;
        }
        receivedData.clear();
        answerPending = true;
        check(vela::formatImageLength(*image) == "01F4 Bytes");
    }
    if (!ended && !answerPending) {
        check(!identified);
        check(total < vela::kIdentificationLength);
    }
    // Bounded: never more than one receive on top of the IMEI's tail.
    check(receivedData.size() <= vela::kIdentificationLength - 1 + vela::kReceiveChunk);
    return 0;
}
