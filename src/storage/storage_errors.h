#pragma once

#include <functional>
#include <string>

namespace vela {

// The one hook through which the data layer reports its errors, with the error's own
// text. The window shows it in a message box with the exclamation icon; the command
// line prints it as a warning. An empty hook reports nothing.
using StorageErrorReporter = std::function<void(const std::string& message)>;

// The database file's name, in the working directory.
inline constexpr const char* kDatabaseFileName = "settings.accdb";

}  // namespace vela
