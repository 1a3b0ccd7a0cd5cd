// velactl encode: an XML configuration file to its configuration image.
#include "commands.h"

#include "config/config_reader.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

namespace velactl {
namespace {

constexpr const char* kUsage =
    "Usage: velactl encode FILE [--device-type N] [-o OUT]\n"
    "\n"
    "Encodes the XML configuration file FILE into the configuration image that is sent\n"
    "to a tracker, and prints it as upper-case hexadecimal digits on one line.\n"
    "\n"
    "Options:\n"
    "  --device-type N  the tracker's device type (default 0, FM2XXX, the only one served)\n"
    "  -o OUT           write the image's raw bytes to OUT instead of printing it\n"
    "  -h, --help       show this help\n"
    "\n"
    "Exit status: 0 encoded, 1 the file was refused (the reason follows\n"
    "\"Error in XML file!\" on standard error), 2 usage error.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "velactl encode: %s\n\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

std::optional<int> parseInt(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

int RunEncode(const Args& args) {
    std::optional<std::string> file;
    std::optional<std::string> out;
    int deviceType = vela::kDeviceTypeFm2xxx;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "--device-type" || arg == "-o") {
            if (i + 1 >= args.size()) return usageError(arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "-o") {
                out = value;
            } else if (auto number = parseInt(value)) {
                deviceType = *number;
            } else {
                return usageError("--device-type needs a whole number, not '" + value + "'");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option '" + arg + "'");
        } else if (file) {
            return usageError("only one FILE can be encoded");
        } else {
            file = arg;
        }
    }
    if (!file) return usageError("FILE is missing");

    auto image = std::make_unique<vela::ConfigImage>();
    if (vela::Status status = vela::ReadConfigFile(*file, deviceType, *image); !status) {
        std::fprintf(stderr, "%.*s\n%s\n", static_cast<int>(vela::kErrorInXmlFile.size()),
                     vela::kErrorInXmlFile.data(), status.message().c_str());
        return kExitFailure;
    }
    const auto bytes = image->view();
    if (out) {
        std::ofstream stream(*out, std::ios::binary | std::ios::trunc);
        stream.write(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<std::streamsize>(bytes.size()));
        stream.close();
        if (!stream) {
            std::fprintf(stderr, "velactl encode: cannot write '%s'\n", out->c_str());
            return kExitFailure;
        }
        return kExitOk;
    }
    std::string hex;
    hex.reserve(bytes.size() * 2 + 1);
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (const uint8_t byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    hex += '\n';
    std::fwrite(hex.data(), 1, hex.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace velactl
