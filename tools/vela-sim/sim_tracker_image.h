#pragma once

#include "common/result.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// The simulated tracker's checks of a received configuration image.
namespace velasim {

// Checks the image's frame: the rest length equals the bytes that follow it, the marker
// is 0x44, and walking the records from offset 5 ends exactly at the end after as many
// records as the header counts. Gives the record count, or what is wrong.
vela::Result<std::size_t> checkImageStructure(std::span<const uint8_t> image);

// Empty when both are equal; otherwise where and how they first differ.
std::string describeImageDifference(std::span<const uint8_t> received,
                                    std::span<const uint8_t> expected);

}  // namespace velasim
