// velactl encode: an XML configuration file to its configuration image.
#include "commands.h"

#include "common/command_line.h"
#include "common/file_access.h"
#include "common/number.h"
#include "common/terminal_text.h"
#include "config/config_reader.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace velactl {

int RunEncode(const Args& args) {
    vela::CommandLine line(
        "velactl encode", "velactl encode FILE [--device-type N] [-o OUT]",
        "Encodes the XML configuration file FILE ('-' for standard input; at most 16 MiB)\n"
        "into the configuration image that is sent to a tracker, and prints it as\n"
        "upper-case hexadecimal digits on one line.");
    line.option("--device-type", "N",
                "the tracker's device type (default 0, FM2XXX, the only one served)")
        .option("--output", "OUT",
                "write the image's raw bytes to OUT (created owner-only: the image holds "
                "passwords)",
                "-o")
        .positionals(1, 1)
        .epilog(
            "Exit status: 0 encoded, 1 the file was refused (the reason follows\n"
            "\"Error in XML file!\" on standard error), 2 usage error.");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    int deviceType = vela::kDeviceTypeFm2xxx;
    if (const auto text = options->value("--device-type")) {
        const auto number = vela::parseWholeNumber(*text, 0, 999);
        if (!number) {
            return line.usageError("--device-type needs a whole number, not '" +
                                   vela::EscapeForTerminal(*text) + "'");
        }
        deviceType = static_cast<int>(*number);
    }

    auto image = std::make_unique<vela::ConfigImage>();
    const std::string& file = options->positional()[0];
    if (vela::Status status = vela::ReadConfigFile(file, deviceType, *image); !status) {
        std::fprintf(stderr, "%.*s\n%s\n", static_cast<int>(vela::kErrorInXmlFile.size()),
                     vela::kErrorInXmlFile.data(),
                     vela::EscapeForTerminal(status.message()).c_str());
        return kExitFailure;
    }
    const auto bytes = image->view();
    if (const auto out = options->value("--output")) {
        const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (vela::Status written = vela::WritePrivateFile(*out, raw); !written) {
            std::fprintf(stderr, "velactl encode: %s\n",
                         vela::EscapeForTerminal(written.message()).c_str());
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
