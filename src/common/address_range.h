#pragma once

// Caller allow-lists: IPv4 address ranges written as "A.B.C.D/N" (or a single address).

#include "common/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// The address of "A.B.C.D" (each part 0 to 255, at most three digits, host order, the
// first part in the most significant byte); nothing otherwise.
std::optional<uint32_t> parseDottedQuad(std::string_view text);
// "%d.%d.%d.%d", most significant byte first.
std::string formatDottedQuad(uint32_t address);

struct AddressRange {
    uint32_t network = 0;  // host order; the bits past the prefix are zero
    int prefix = 32;       // 0 to 32

    bool Contains(uint32_t address) const;
    std::string Text() const;  // "A.B.C.D/N"
    bool operator==(const AddressRange&) const = default;
};

// "A.B.C.D/N" with N from 0 to 32, or "A.B.C.D" for one address. An address with bits
// set past the prefix ("10.1.2.3/8") is refused, naming the range it probably meant:
// a typing slip must not open or close more than the operator wrote.
Result<AddressRange> parseAddressRange(std::string_view text);

// The callers a listener accepts: no range means everyone.
class AddressAllowList {
public:
    AddressAllowList() = default;
    explicit AddressAllowList(std::vector<AddressRange> ranges) : ranges_(std::move(ranges)) {}

    bool Allows(uint32_t address) const;
    bool empty() const { return ranges_.empty(); }
    const std::vector<AddressRange>& ranges() const { return ranges_; }
    // The ranges separated by ", " ("" when empty): the stored and shown form.
    std::string Text() const;
    bool operator==(const AddressAllowList&) const = default;

private:
    std::vector<AddressRange> ranges_;
};

// A list written with commas, blanks or line breaks between the ranges; "" is the empty
// list. The first range that does not parse is named in the failure.
Result<AddressAllowList> parseAddressAllowList(std::string_view text);

}  // namespace vela
