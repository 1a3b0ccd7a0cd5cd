#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vela {

// A serial line found on this machine without opening it.
struct ProbedPort {
    std::string name;         // what the operator selects: /dev/serial/by-id/..., a path, COMn
    std::string description;  // maker, model and serial number of a USB adapter; the UART
};

// The serial lines that sysfs shows under `sysRoot`/class/tty: every USB adapter (its
// stable name under `devRoot`/serial/by-id when there is one, else its /dev path), and
// COMn for each on-board UART ttyS(n-1) whose port type is real. Nothing is opened, so no
// line is raised on a device that is not the modem. Sorted by name.
std::vector<ProbedPort> ListSerialPorts(const std::filesystem::path& sysRoot = "/sys",
                                        const std::filesystem::path& devRoot = "/dev");

}  // namespace vela
