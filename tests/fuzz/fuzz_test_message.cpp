// The test server's reading of one line: a line it accepts is exactly the message that
// Vela would write for the fields read from it, so nothing loose slips through.
#include "link/port_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto message = vela::parseTestMessage(line);
    if (!message) {
        check(!message.message().empty());
        return 0;
    }
    check(size <= vela::kMaxTestMessageLength);
    check(message->port >= 1);
    check(message->tag.size() <= vela::kMaxInstallationTagLength);
    check(vela::formatTestMessage(message->address, message->port, message->tag) == line);
    return 0;
}
