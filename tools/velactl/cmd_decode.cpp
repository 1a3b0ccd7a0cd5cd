// velactl decode: lists the header and records of a configuration image and reports
// every inconsistency in it.
#include "commands.h"

#include "common/command_line.h"
#include "common/file_access.h"
#include "common/terminal_text.h"
#include "config/config_image.h"
#include "config/image_decoder.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace velactl {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> parseHex(const std::string& text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        const int digit = hexDigit(c);
        if (digit < 0) return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return bytes;
}

void printImage(const vela::DecodedImage& image) {
    std::printf("image: %zu bytes\n", image.size);
    if (image.restLength) {
        std::printf("rest length: %u (0x%.4X)\n", unsigned{*image.restLength},
                    unsigned{*image.restLength});
        std::printf("marker: 0x%.2X\n", unsigned{*image.marker});
        std::printf("record count: %u\n", unsigned{*image.recordCount});
    }
    std::size_t number = 0;
    for (const vela::DecodedRecord& record : image.records) {
        std::printf("record %zu at offset %zu: id %u (0x%.4X), length %u, value %s\n", ++number,
                    record.offset, unsigned{record.id}, unsigned{record.id},
                    unsigned{record.length}, vela::ShowValue(record.value).c_str());
    }
}

}  // namespace

int RunDecode(const Args& args) {
    vela::CommandLine line(
        "velactl decode", "velactl decode IMAGE | - | --hex TEXT",
        "Lists the header (rest length, marker, record count) and every parameter record of\n"
        "a configuration image: a raw image file (at most 65536 bytes), standard input (-),\n"
        "or hexadecimal digits (--hex; blanks between them are ignored). Values are shown\n"
        "in double quotes, with bytes outside printable ASCII written as \\xNN.");
    line.option("--hex", "TEXT", "the image as hexadecimal digits")
        .positionals(0, 1)
        .epilog(
            "Exit status: 0 consistent image, 1 inconsistent or unreadable image (the\n"
            "problems are listed on standard error), 2 usage error.");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto hex = options->value("--hex");
    if (hex.has_value() == !options->positional().empty()) {
        return line.usageError(hex ? "give either IMAGE or --hex, not both" : "IMAGE is missing");
    }
    std::vector<uint8_t> bytes;
    if (hex) {
        auto parsed = parseHex(*hex);
        if (!parsed) return line.usageError("--hex needs pairs of hexadecimal digits");
        bytes = std::move(*parsed);
    } else {
        vela::Result<std::string> content =
            vela::ReadRegularFile(options->positional()[0], vela::ConfigImage::kCapacity);
        if (!content) {
            std::fprintf(stderr, "velactl decode: %s\n",
                         vela::EscapeForTerminal(content.message()).c_str());
            return kExitFailure;
        }
        bytes.assign(content.value().begin(), content.value().end());
    }

    const vela::DecodedImage image = vela::DecodeImage(bytes);
    printImage(image);
    std::fflush(stdout);
    for (const std::string& problem : image.problems) {
        std::fprintf(stderr, "inconsistent: %s\n", problem.c_str());
    }
    return image.consistent() ? kExitOk : kExitFailure;
}

}  // namespace velactl
