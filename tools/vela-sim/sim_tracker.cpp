// `vela-sim tracker`: a tracker that calls Vela, identifies itself with 00 0F and its
// IMEI, receives the configuration image, checks it and answers.
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
constexpr int kExitUsage = 2;

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

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: vela-sim tracker --port P [OPTIONS]\n"
        "\n"
        "Connects to Vela, sends 00 0F and the IMEI, receives the configuration image,\n"
        "checks it and answers with 01 and the image's two length bytes.\n"
        "\n"
        "  --host H            address or name of Vela (default 127.0.0.1)\n"
        "  --port P            Vela's listening port (required)\n"
        "  --imei N            the 15-character IMEI (default %s)\n"
        "  --expect-xml FILE   compare the image byte for byte with the encoding of FILE\n"
        "  --save-image FILE   write the received image to FILE\n"
        "  --prefix HEX        extra bytes sent in front of the identification\n"
        "  --split N           send the first N identification bytes, pause, then the rest\n"
        "  --split-pause MS    the pause of --split (default 200)\n"
        "  --short-answer      answer with the single byte 01\n"
        "  --no-answer         close the connection without answering\n"
        "  --timeout S         limit for connecting and the whole session (default 30)\n"
        "  --help              show this text\n"
        "\n"
        "Exit status: 0 when the image arrived whole and passed every check, 1 otherwise,\n"
        "2 on usage errors.\n",
        kDefaultImei);
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "vela-sim tracker: %s\n", text.c_str());
    printUsage(stderr);
    return kExitUsage;
}

void report(const std::string& line) {
    std::printf("tracker: %s\n", line.c_str());
    std::fflush(stdout);
}

// Problems go to stderr, after whatever the report said so far.
void complain(const std::string& reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "tracker: error: %s\n", reason.c_str());
}

int fail(const std::string& reason) {
    complain(reason);
    return kExitFailure;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits in pairs; blanks and colons between pairs are allowed for readability.
bool parseHex(const std::string& text, std::vector<uint8_t>& bytes) {
    int high = -1;
    for (char c : text) {
        if ((c == ' ' || c == ':') && high < 0) continue;
        const int digit = hexValue(c);
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

std::string hexByte(uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2X", byte);
    return text;
}

// Parses the options; a usage error's text, or nothing.
std::optional<std::string> parseOptions(const Args& args, TrackerOptions& options, bool& help) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::optional<long> value;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return std::nullopt;
        }
        if (arg == "--short-answer") {
            options.answer = AnswerMode::Short;
            continue;
        }
        if (arg == "--no-answer") {
            options.answer = AnswerMode::None;
            continue;
        }
        if (i + 1 >= args.size()) return "unknown option or missing value: " + arg;
        const std::string& text = args[++i];
        if (arg == "--host") {
            if (text.empty()) return std::string("--host needs an address");
            options.host = text;
        } else if (arg == "--port") {
            if (!(value = parseWholeNumber(text, 1, 65535))) return "bad port: " + text;
            options.port = static_cast<uint16_t>(*value);
        } else if (arg == "--imei") {
            if (text.size() != kImeiLength) return "the IMEI must be 15 characters: " + text;
            for (char c : text) {
                if (c <= ' ' || c > '~') return "the IMEI must be printable: " + text;
            }
            options.imei = text;
        } else if (arg == "--prefix") {
            options.prefix.clear();
            if (!parseHex(text, options.prefix) || options.prefix.size() > kMaxPrefixBytes) {
                return "bad --prefix (hex digits in pairs, at most 4096 bytes): " + text;
            }
        } else if (arg == "--split") {
            if (!(value = parseWholeNumber(text, 1, 100000))) return "bad --split: " + text;
            options.split = static_cast<std::size_t>(*value);
        } else if (arg == "--split-pause") {
            if (!(value = parseWholeNumber(text, 0, 60000))) return "bad --split-pause: " + text;
            options.splitPause = std::chrono::milliseconds(*value);
        } else if (arg == "--timeout") {
            if (!(value = parseWholeNumber(text, 1, 3600))) return "bad --timeout: " + text;
            options.timeout = std::chrono::seconds(*value);
        } else if (arg == "--expect-xml") {
            options.expectXml = text;
        } else if (arg == "--save-image") {
            options.saveImage = text;
        } else {
            return "unknown option: " + arg;
        }
    }
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
    TrackerOptions options;
    bool help = false;
    if (const auto problem = parseOptions(args, options, help)) return usageError(*problem);
    if (help) {
        printUsage(stdout);
        return kExitOk;
    }

    // The expected image first: a bad file should not cost a connection.
    std::unique_ptr<vela::ConfigImage> expected;
    if (!options.expectXml.empty()) {
        expected = std::make_unique<vela::ConfigImage>();
        const vela::Status encoded =
            vela::ReadConfigFile(options.expectXml, vela::kDeviceTypeFm2xxx, *expected);
        if (!encoded) return fail("cannot encode " + options.expectXml + ": " + encoded.message());
    }

    const Deadline deadline = std::chrono::steady_clock::now() + options.timeout;
    auto connected = TrackerConnection::Connect(options.host, *options.port, deadline);
    if (!connected) return fail(connected.message());
    TrackerConnection connection = std::move(connected).value();
    report("connected to " + connection.peer());

    std::vector<uint8_t> identification = options.prefix;
    identification.push_back(0x00);
    identification.push_back(0x0F);
    identification.insert(identification.end(), options.imei.begin(), options.imei.end());
    const std::span<const uint8_t> whole(identification);
    if (options.split > 0) {
        if (auto sent = connection.SendAll(whole.first(options.split), deadline); !sent) {
            return fail(sent.message());
        }
        report("sent " + std::to_string(options.split) + " identification bytes");
        std::this_thread::sleep_for(options.splitPause);
    }
    if (auto sent = connection.SendAll(whole.subspan(options.split), deadline); !sent) {
        return fail(sent.message());
    }
    report("sent " + std::to_string(whole.size() - options.split) + " identification bytes (IMEI " +
           options.imei + ")");

    // The image announces its own size in its first two bytes.
    std::vector<uint8_t> image;
    if (auto read = connection.ReadExact(2, image, deadline); !read) {
        return fail("no image: " + read.message());
    }
    const std::size_t rest = (static_cast<std::size_t>(image[0]) << 8) | image[1];
    if (auto read = connection.ReadExact(rest, image, deadline); !read) {
        return fail("incomplete image: " + read.message());
    }

    bool allRight = true;
    const auto structure = checkImageStructure(image);
    if (structure) {
        report("received image of " + std::to_string(image.size()) + " bytes, " +
               std::to_string(*structure) + " records");
    } else {
        report("received image of " + std::to_string(image.size()) + " bytes");
        allRight = false;
        complain("bad image: " + structure.message());
    }

    if (!options.saveImage.empty()) {
        std::ofstream out(options.saveImage, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.close();
        if (out) {
            report("saved image to " + options.saveImage);
        } else {
            allRight = false;
            complain("cannot write " + options.saveImage);
        }
    }

    if (expected) {
        const std::string difference = describeImageDifference(image, expected->view());
        if (difference.empty()) {
            report("image matches " + options.expectXml);
        } else {
            allRight = false;
            complain("image differs from " + options.expectXml + ": " + difference);
        }
    }

    // The answer echoes the two length bytes received (Vela shows bytes 1 and 2).
    std::vector<uint8_t> answer;
    if (options.answer == AnswerMode::Full) answer = {0x01, image[0], image[1]};
    if (options.answer == AnswerMode::Short) answer = {0x01};
    if (answer.empty()) {
        report("closed without answering");
    } else {
        if (auto sent = connection.SendAll(answer, deadline); !sent) return fail(sent.message());
        std::string bytes;
        for (uint8_t byte : answer) bytes += (bytes.empty() ? "" : " ") + hexByte(byte);
        report("answered " + bytes);
    }
    // After an answer, wait briefly for Vela to close its side (it does so at once), so
    // the answer cannot be lost to a reset; without one, close straight away.
    const auto now = std::chrono::steady_clock::now();
    connection.Finish(answer.empty() ? now : std::min(deadline, now + std::chrono::seconds(2)));
    return allRight ? kExitOk : kExitFailure;
}

}  // namespace velasim
