// `vela-sim tracker`: a tracker that calls Vela, identifies itself with 00 0F and its
// IMEI, receives the configuration image, checks it and answers.
#include "common/command_line.h"
#include "common/number.h"
#include "config/config_reader.h"
#include "sim_commands.h"
#include "sim_tracker_connection.h"
#include "sim_tracker_image.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velasim {
namespace {
using vela::parseWholeNumber;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

constexpr std::size_t kImeiLength = 15;
constexpr std::size_t kMaxPrefixBytes = 4096;
constexpr const char* kDefaultImei = "356307042441013";

enum class AnswerMode { Full, Short, None };

struct TrackerOptions {
    std::string host = "127.0.0.1";
    std::optional<uint16_t> port;
    std::string imei = kDefaultImei;
    std::vector<uint8_t> prefix;
    std::size_t split = 0;  // 0: the identification in one piece
    std::chrono::milliseconds splitPause{200};
    AnswerMode answer = AnswerMode::Full;
    std::chrono::seconds timeout{30};
    std::string expectXml;
    std::string saveImage;
};

vela::CommandLine TrackerCommandLine() {
    vela::CommandLine line(
        "vela-sim tracker", "vela-sim tracker --port P [OPTIONS]",
        "Connects to Vela, sends 00 0F and the IMEI, receives the configuration "
        "image,\nchecks it and answers with 01 and the image's two length bytes.");
    line.option("--host", "H", "address or name of Vela (default 127.0.0.1)")
        .option("--port", "P", "Vela's listening port, decimal (required)")
        .option("--imei", "N", std::string("the 15-character IMEI (default ") + kDefaultImei + ")")
        .option("--expect-xml", "FILE", "compare the image byte for byte with the encoding of FILE")
        .option("--save-image", "FILE", "write the received image to FILE")
        .option("--prefix", "HEX", "extra bytes sent in front of the identification")
        .option("--split", "N", "send the first N identification bytes, pause, then the rest")
        .option("--split-pause", "MS", "the pause of --split (default 200)")
        .flag("--short-answer", "answer with the single byte 01")
        .flag("--no-answer", "close the connection without answering")
        .option("--timeout", "S", "limit for connecting and the whole session (default 30)")
        .epilog(
            "Exit status: 0 when the image arrived whole and passed every check, 1 otherwise,\n"
            "2 on usage errors.");
    return line;
}

void Report(const std::string& line) {
    std::printf("tracker: %s\n", line.c_str());
    std::fflush(stdout);
}

// Problems go to stderr, after whatever the report said so far.
void Complain(const std::string& reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "tracker: error: %s\n", reason.c_str());
}

int Fail(const std::string& reason) {
    Complain(reason);
    return kExitFailure;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits in pairs; blanks and colons between pairs are allowed for readability.
bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
    int high = -1;
    for (char c : text) {
        if ((c == ' ' || c == ':') && high < 0) continue;
        const int digit = HexValue(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

std::string HexByte(uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2X", byte);
    return text;
}

// Reads the parsed options into `options`; a usage error's text, or nothing.
std::optional<std::string> ReadOptions(const vela::ParsedOptions& given, TrackerOptions& options) {
    std::optional<long> value;
    if (const auto text = given.value("--host")) {
        if (text->empty()) return std::string("--host needs an address");
        options.host = *text;
    }
    if (const auto text = given.value("--port")) {
        if (!(value = parseWholeNumber(*text, 1, 65535))) return "bad port: " + *text;
        options.port = static_cast<uint16_t>(*value);
    }
    if (const auto text = given.value("--imei")) {
        if (text->size() != kImeiLength) return "the IMEI must be 15 characters: " + *text;
        for (char c : *text) {
            if (c <= ' ' || c > '~') return "the IMEI must be printable: " + *text;
        }
        options.imei = *text;
    }
    if (const auto text = given.value("--prefix")) {
        if (!ParseHex(*text, options.prefix) || options.prefix.size() > kMaxPrefixBytes) {
            return "bad --prefix (hex digits in pairs, at most 4096 bytes): " + *text;
        }
    }
    if (const auto text = given.value("--split")) {
        if (!(value = parseWholeNumber(*text, 1, 100000))) return "bad --split: " + *text;
        options.split = static_cast<std::size_t>(*value);
    }
    if (const auto text = given.value("--split-pause")) {
        if (!(value = parseWholeNumber(*text, 0, 60000))) return "bad --split-pause: " + *text;
        options.splitPause = std::chrono::milliseconds(*value);
    }
    if (const auto text = given.value("--timeout")) {
        if (!(value = parseWholeNumber(*text, 1, 3600))) return "bad --timeout: " + *text;
        options.timeout = std::chrono::seconds(*value);
    }
    options.expectXml = given.valueOr("--expect-xml", "");
    options.saveImage = given.valueOr("--save-image", "");
    if (given.has("--short-answer") && given.has("--no-answer")) {
        return std::string("--short-answer and --no-answer exclude each other");
    }
    if (given.has("--short-answer")) options.answer = AnswerMode::Short;
    if (given.has("--no-answer")) options.answer = AnswerMode::None;

    if (!options.port) return std::string("--port is required");
    const std::size_t identificationSize = options.prefix.size() + 2 + kImeiLength;
    if (options.split >= identificationSize) {
        return "--split must be less than the " + std::to_string(identificationSize) +
               " identification bytes";
    }
    return std::nullopt;
}

}  // namespace

int RunSimTracker(const Args& args) {
    const vela::CommandLine line = TrackerCommandLine();
    int exitCode = kExitOk;
    const auto given = line.parse(args, exitCode);
    if (!given) return exitCode;
    TrackerOptions options;
    if (const auto problem = ReadOptions(*given, options)) return line.usageError(*problem);

    // The expected image first: a bad file should not cost a connection.
    std::unique_ptr<vela::ConfigImage> expected;
    if (!options.expectXml.empty()) {
        expected = std::make_unique<vela::ConfigImage>();
        const vela::Status encoded =
            vela::ReadConfigFile(options.expectXml, vela::kDeviceTypeFm2xxx, *expected);
        if (!encoded) return Fail("cannot encode " + options.expectXml + ": " + encoded.message());
    }

    const Deadline deadline = std::chrono::steady_clock::now() + options.timeout;
    auto connected = TrackerConnection::Connect(options.host, *options.port, deadline);
    if (!connected) return Fail(connected.message());
    TrackerConnection connection = std::move(connected).value();
    Report("connected to " + connection.peer());

    std::vector<uint8_t> identification = options.prefix;
    identification.push_back(0x00);
    identification.push_back(0x0F);
    identification.insert(identification.end(), options.imei.begin(), options.imei.end());
    const std::span<const uint8_t> whole(identification);
    if (options.split > 0) {
        if (auto sent = connection.SendAll(whole.first(options.split), deadline); !sent) {
            return Fail(sent.message());
        }
        Report("sent " + std::to_string(options.split) + " identification bytes");
        std::this_thread::sleep_for(options.splitPause);
    }
    if (auto sent = connection.SendAll(whole.subspan(options.split), deadline); !sent) {
        return Fail(sent.message());
    }
    Report("sent " + std::to_string(whole.size() - options.split) + " identification bytes (IMEI " +
           options.imei + ")");

    // The image announces its own size in its first two bytes.
    std::vector<uint8_t> image;
    if (auto read = connection.ReadExact(2, image, deadline); !read) {
        return Fail("no image: " + read.message());
    }
    const std::size_t rest = (static_cast<std::size_t>(image[0]) << 8) | image[1];
    if (auto read = connection.ReadExact(rest, image, deadline); !read) {
        return Fail("incomplete image: " + read.message());
    }

    bool allRight = true;
    const auto structure = checkImageStructure(image);
    if (structure) {
        Report("received image of " + std::to_string(image.size()) + " bytes, " +
               std::to_string(*structure) + " records");
    } else {
        Report("received image of " + std::to_string(image.size()) + " bytes");
        allRight = false;
        Complain("bad image: " + structure.message());
    }

    if (!options.saveImage.empty()) {
        std::ofstream out(options.saveImage, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.close();
        if (out) {
            Report("saved image to " + options.saveImage);
        } else {
            allRight = false;
            Complain("cannot write " + options.saveImage);
        }
    }

    if (expected) {
        const std::string difference = describeImageDifference(image, expected->view());
        if (difference.empty()) {
            Report("image matches " + options.expectXml);
        } else {
            allRight = false;
            Complain("image differs from " + options.expectXml + ": " + difference);
        }
    }

    // The answer echoes the two length bytes received (Vela shows bytes 1 and 2).
    std::vector<uint8_t> answer;
    if (options.answer == AnswerMode::Full) answer = {0x01, image[0], image[1]};
    if (options.answer == AnswerMode::Short) answer = {0x01};
    if (answer.empty()) {
        Report("closed without answering");
    } else {
        if (auto sent = connection.SendAll(answer, deadline); !sent) return Fail(sent.message());
        std::string bytes;
        for (uint8_t byte : answer) {
            if (!bytes.empty()) bytes += ' ';
            bytes += HexByte(byte);
        }
        Report("answered " + bytes);
    }
    // After an answer, wait briefly for Vela to close its side (it does so at once), so
    // the answer cannot be lost to a reset; without one, close straight away.
    const auto now = std::chrono::steady_clock::now();
    connection.Finish(answer.empty() ? now : std::min(deadline, now + std::chrono::seconds(2)));
    return allRight ? kExitOk : kExitFailure;
}

}  // namespace velasim
