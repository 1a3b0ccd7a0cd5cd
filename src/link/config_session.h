#pragma once

#include "config/config_image.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// Bytes received from a caller; any value, zero included.
using ByteString = std::vector<uint8_t>;

// One receive takes at most this many bytes; the handler is run again while more wait.
inline constexpr std::size_t kReceiveChunk = 256;
// A caller is identified once this many bytes have come; the last kImeiLength are its IMEI.
inline constexpr std::size_t kIdentificationLength = 17;
inline constexpr std::size_t kImeiLength = 15;
// The IMEI with which the port check's test server identifies itself.
inline constexpr std::string_view kTestServerImei = "XXXXXXXXXXXXXXX";
// Shown in place of an answer byte that did not come.
inline constexpr std::string_view kMissingByte = "--";

// What the receive handler does after one receive.
enum class ReceiveStep {
    WaitForMore,  // fewer than 17 bytes so far
    Identify,     // the caller has identified itself
    Answer,       // the first data after the image: the tracker's answer
};

// Appends one receive (normally at most kReceiveChunk bytes) to `receivedData` and tells
// which step follows. The buffer never grows beyond what a step reads: before the
// identification its 17 bytes (bytes that came with them are not kept; their count is
// put in `ignored` when given), after the image the head of the answer.
ReceiveStep appendReceived(ByteString& receivedData, std::span<const uint8_t> chunk,
                           bool answerPending, std::size_t* ignored = nullptr);

// The caller's IMEI: the last 15 of its 17 identification bytes (fewer when fewer came).
std::string callerImei(const ByteString& receivedData);

// True for the fifteen capital X's of the test server.
bool isTestServer(std::string_view imei);

// The IMEI as it is shown: whatever a caller sends is escaped, so no byte of it can
// break the status line, the headless one-line output or the operator's terminal.
std::string displayImei(std::string_view imei);

// "%.2X%.2X Bytes" from the image's first two bytes (its own length field).
std::string formatImageLength(const ConfigImage& image);

// "%.2X%.2X (%.2X%.2X) Bytes" from bytes 1 and 2 of the answer and bytes 0 and 1 of the
// image; an answer byte that did not come is shown as "--".
std::string formatAnswer(std::span<const uint8_t> answer, const ConfigImage& image);

}  // namespace vela
