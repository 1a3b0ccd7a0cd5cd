#include "modem/serial_probe.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <system_error>

namespace vela {

namespace {

namespace fs = std::filesystem;

// The first line of a small sysfs attribute, or empty.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// The USB device above a tty's device entry: the first directory upwards that carries
// idVendor, staying inside the sysfs tree.
std::optional<fs::path> usbDeviceOf(const fs::path& device, const fs::path& sysRoot) {
    std::error_code ec;
    const fs::path top = fs::weakly_canonical(sysRoot, ec);
    fs::path at = fs::canonical(device, ec);
    if (ec) return std::nullopt;
    while (!at.empty() && at != top && at != at.parent_path()) {
        if (fs::exists(at / "idVendor", ec)) return at;
        at = at.parent_path();
    }
    return std::nullopt;
}

std::string usbDescription(const fs::path& usb) {
    std::string text = attribute(usb / "manufacturer");
    const std::string product = attribute(usb / "product");
    if (!product.empty()) text += (text.empty() ? "" : " ") + product;
    if (text.empty())
        text = "USB " + attribute(usb / "idVendor") + ":" + attribute(usb / "idProduct");
    if (const std::string serial = attribute(usb / "serial"); !serial.empty()) {
        text += ", serial number " + serial;
    }
    return text;
}

// The stable name under by-id whose link leads to `tty`, or empty.
std::string stableName(const fs::path& devRoot, const std::string& tty) {
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator entry(devRoot / "serial" / "by-id", ec), end; !ec && entry != end;
         entry.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entry->path(), linkError);
        if (!linkError && target.filename() == tty) names.push_back(entry->path().string());
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

// ttyS3 -> 3, or nothing for other names.
std::optional<int> uartNumber(const std::string& tty) {
    if (tty.size() < 5 || tty.compare(0, 4, "ttyS") != 0 ||
        tty.find_first_not_of("0123456789", 4) != std::string::npos || tty.size() > 8) {
        return std::nullopt;
    }
    return std::stoi(tty.substr(4));
}

}  // namespace

std::vector<ProbedPort> ListSerialPorts(const fs::path& sysRoot, const fs::path& devRoot) {
    std::vector<ProbedPort> ports;
    std::error_code ec;
    for (fs::directory_iterator entry(sysRoot / "class" / "tty", ec), end; !ec && entry != end;
         entry.increment(ec)) {
        const std::string tty = entry->path().filename().string();
        const fs::path device = entry->path() / "device";
        std::error_code exists;
        // Virtual terminals and pseudo-terminals have no device behind them.
        if (!fs::exists(device, exists)) continue;
        if (const auto usb = usbDeviceOf(device, sysRoot)) {
            std::string name = stableName(devRoot, tty);
            if (name.empty()) name = (devRoot / tty).string();
            ports.push_back({name, usbDescription(*usb) + " (" + tty + ")"});
        } else if (const auto number = uartNumber(tty)) {
            // The kernel keeps ttyS entries for UARTs that are not there: type 0 (unknown).
            const std::string type = attribute(entry->path() / "type");
            if (type.empty() || type == "0") continue;
            ports.push_back({"COM" + std::to_string(*number + 1),
                             "on-board serial port (" + (devRoot / tty).string() + ")"});
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const ProbedPort& a, const ProbedPort& b) { return a.name < b.name; });
    return ports;
}

}  // namespace vela
