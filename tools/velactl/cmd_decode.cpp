// velactl decode: lists the header and records of a configuration image and reports
// every inconsistency in it.
#include "commands.h"

#include "config/image_decoder.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velactl {
namespace {

constexpr const char* kUsage =
    "Usage: velactl decode IMAGE\n"
    "       velactl decode -\n"
    "       velactl decode --hex TEXT\n"
    "\n"
    "Lists the header (rest length, marker, record count) and every parameter record of\n"
    "a configuration image: a raw image file, standard input (-), or hexadecimal digits\n"
    "(--hex; blanks between them are ignored). Values are shown in double quotes, with\n"
    "bytes outside printable ASCII written as \\xNN.\n"
    "\n"
    "Exit status: 0 consistent image, 1 inconsistent or unreadable image (the problems\n"
    "are listed on standard error), 2 usage error.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "velactl decode: %s\n\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

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

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// All bytes of a stream; false when reading failed.
bool readAll(std::FILE* file, std::vector<uint8_t>& bytes) {
    uint8_t chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return std::ferror(file) == 0;
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
    std::vector<uint8_t> bytes;
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (args.size() == 2 && args[0] == "--hex") {
        auto parsed = parseHex(args[1]);
        if (!parsed) return usageError("--hex needs pairs of hexadecimal digits");
        bytes = std::move(*parsed);
    } else if (args.size() == 1 && args[0] == "-") {
        if (!readAll(stdin, bytes)) {
            std::fprintf(stderr, "velactl decode: cannot read standard input\n");
            return kExitFailure;
        }
    } else if (args.size() == 1 && !(args[0].size() > 1 && args[0][0] == '-')) {
        std::unique_ptr<std::FILE, FileCloser> file(std::fopen(args[0].c_str(), "rb"));
        if (!file || !readAll(file.get(), bytes)) {
            std::fprintf(stderr, "velactl decode: cannot read '%s': %s\n", args[0].c_str(),
                         std::strerror(errno));
            return kExitFailure;
        }
    } else {
        return usageError(args.empty() ? "IMAGE is missing" : "unexpected arguments");
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
