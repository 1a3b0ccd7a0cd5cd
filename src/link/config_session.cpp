#include "link/config_session.h"

#include "common/terminal_text.h"

#include <algorithm>
#include <cstdio>

namespace vela {

namespace {

// Before the identification only the tail matters; one receive on top of 16 waiting
// bytes is the most a well-behaved caller can leave here.
constexpr std::size_t kIdentificationKeep = kIdentificationLength - 1 + kReceiveChunk;

std::string hexByte(uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2X", static_cast<unsigned>(byte));
    return text;
}

}  // namespace

ReceiveStep appendReceived(ByteString& receivedData, std::span<const uint8_t> chunk,
                           bool answerPending) {
    if (answerPending) {
        // The answer step reads the answer's first bytes; a flood adds nothing to them.
        const std::size_t room =
            receivedData.size() < kReceiveChunk ? kReceiveChunk - receivedData.size() : 0;
        const std::size_t take = std::min(room, chunk.size());
        receivedData.insert(receivedData.end(), chunk.begin(), chunk.begin() + take);
        return ReceiveStep::Answer;
    }
    receivedData.insert(receivedData.end(), chunk.begin(), chunk.end());
    if (receivedData.size() > kIdentificationKeep) {
        receivedData.erase(receivedData.begin(),
                           receivedData.end() - static_cast<std::ptrdiff_t>(kIdentificationKeep));
    }
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
