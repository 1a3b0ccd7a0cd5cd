#pragma once

#include "config/config_image.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vela::test {

// One record of an image as the tests compare it.
using Record = std::pair<int, std::string>;

// The image as upper-case hex digits without separators.
std::string toHex(const ConfigImage& image);

// Encodes `xml` for device type 0 and expects success; the image is on the heap
// because it is 64 KiB.
std::unique_ptr<ConfigImage> encodeOk(std::string_view xml);

// The records of an encoded `xml`, checked to form a consistent image.
std::vector<Record> recordsOf(std::string_view xml);

}  // namespace vela::test
