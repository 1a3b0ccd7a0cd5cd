#pragma once

#include "common/result.h"
#include "config/config_image.h"

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace vela {

// The only device type the reader serves ("FM2XXX").
inline constexpr int kDeviceTypeFm2xxx = 0;

// The largest configuration file read; real ones are a few kilobytes.
inline constexpr std::size_t kMaxConfigFileBytes = std::size_t{16} * 1024 * 1024;

// What the operator is shown when a configuration file is refused.
inline constexpr std::string_view kErrorInXmlFile = "Error in XML file!";

// Reads the XML configuration file at `path` and rebuilds `image` from it.
// Fails (image unchanged) when the device type is not served, the file cannot be
// read, is not a regular file ("-" reads standard input) or is larger than
// kMaxConfigFileBytes, or the image would not fit its 16-bit length fields.
Status ReadConfigFile(const std::filesystem::path& path, int deviceType, ConfigImage& image);

// The same encoding from text already in memory (used by tools and tests).
Status EncodeConfigText(std::string_view text, int deviceType, ConfigImage& image);

}  // namespace vela
