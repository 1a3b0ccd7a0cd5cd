#pragma once

#include <filesystem>
#include <string>

namespace vela {

// The SHA-256 of a configuration file in lower-case hex: the record's proof of which
// content a tracker received. Empty when the file cannot be read again (the reader has
// then said why).
std::string ConfigFileSha256(const std::filesystem::path& path);

}  // namespace vela
