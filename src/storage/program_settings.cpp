#include "storage/program_settings.h"

#include "common/address_range.h"

namespace vela {

std::string formatIpv4(uint32_t address) {
    return formatDottedQuad(address);
}

std::optional<uint32_t> parseIpv4(std::string_view text) {
    return parseDottedQuad(text);
}

}  // namespace vela
