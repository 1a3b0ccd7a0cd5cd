#include "link/config_session.h"

#include "common/terminal_text.h"

#include <algorithm>
#include <cstdio>

namespace vela {

namespace {

std::string hexByte(uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2X", static_cast<unsigned>(byte));
    return text;
}

}  // namespace

ReceiveStep appendReceived(ByteString& receivedData, std::span<const uint8_t> chunk,
                           bool answerPending, std::size_t* ignored) {
    if (ignored != nullptr) *ignored = 0;
    if (answerPending) {
        // The answer step reads the answer's first bytes; a flood adds nothing to them.
        const std::size_t room =
            receivedData.size() < kReceiveChunk ? kReceiveChunk - receivedData.size() : 0;
        const std::size_t take = std::min(room, chunk.size());
        receivedData.insert(receivedData.end(), chunk.begin(), chunk.begin() + take);
        return ReceiveStep::Answer;
    }
    // The first 17 bytes identify the caller; what came with them in the same receive
    // (a tracker that talks on at once) is not part of its IMEI.
    const std::size_t room = receivedData.size() < kIdentificationLength
                                 ? kIdentificationLength - receivedData.size()
                                 : 0;
    const std::size_t take = std::min(room, chunk.size());
    receivedData.insert(receivedData.end(), chunk.begin(), chunk.begin() + take);
    if (ignored != nullptr) *ignored = chunk.size() - take;
    return receivedData.size() >= kIdentificationLength ? ReceiveStep::Identify
                                                        : ReceiveStep::WaitForMore;
}

std::string callerImei(const ByteString& receivedData) {
    const std::size_t count = std::min(kImeiLength, receivedData.size());
    return std::string(receivedData.end() - static_cast<std::ptrdiff_t>(count), receivedData.end());
}

bool isTestServer(std::string_view imei) {
    return imei == kTestServerImei;
}

std::string displayImei(std::string_view imei) {
    return EscapeForTerminal(imei);
}

std::string formatImageLength(const ConfigImage& image) {
    return hexByte(image.bytes[0]) + hexByte(image.bytes[1]) + " Bytes";
}

std::string formatAnswer(std::span<const uint8_t> answer, const ConfigImage& image) {
    auto answerByte = [&](std::size_t index) {
        return index < answer.size() ? hexByte(answer[index]) : std::string(kMissingByte);
    };
    return answerByte(1) + answerByte(2) + " (" + hexByte(image.bytes[0]) +
           hexByte(image.bytes[1]) + ") Bytes";
}

}  // namespace vela
