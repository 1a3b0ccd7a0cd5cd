// Allow-lists as the operator writes them: a list that parses shows as text that parses
// back to the same list, and it allows exactly what its ranges contain.
#include "common/address_range.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // The first four bytes, when there are that many, are also an address to look up.
    uint32_t probe = 0;
    if (size >= 4) std::memcpy(&probe, data, 4);
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const vela::Result<vela::AddressAllowList> list = vela::parseAddressAllowList(text);
    if (!list) {
        check(!list.message().empty());
        check(list.message().size() < 256);  // a hostile list cannot make a huge message
        return 0;
    }
    const vela::Result<vela::AddressAllowList> again = vela::parseAddressAllowList(list->Text());
    check(again.ok() && again.value() == list.value());
    bool inside = list->ranges().empty();
    for (const vela::AddressRange& range : list->ranges()) {
        check(range.prefix >= 0 && range.prefix <= 32);
        check(range.Contains(range.network));
        check(vela::parseAddressRange(range.Text()).value() == range);
        inside |= range.Contains(probe);
    }
    check(list->Allows(probe) == inside);

    const vela::Result<vela::AddressRange> one = vela::parseAddressRange(text);
    if (one) check(vela::parseDottedQuad(text.substr(0, text.find('/'))).has_value());
    return 0;
}
