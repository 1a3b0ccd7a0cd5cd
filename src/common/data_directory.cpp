#include "common/data_directory.h"

#include "common/file_access.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vela {

namespace {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::filesystem::path madeAbsolute(const std::filesystem::path& path) {
    std::error_code ec;
    const auto made = std::filesystem::absolute(path, ec);
    return ec ? path : made.lexically_normal();
}

// Creates each missing directory of `path`, the last one owner-only.
Status createOwnerOnly(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return Status::Ok();
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) return Status::Fail("cannot create " + path.parent_path().string() + ": " + ec.message());
    if (::mkdir(path.c_str(), S_IRWXU) != 0 && errno != EEXIST)
        return Status::Fail("cannot create " + path.string() + ": " + ErrnoText(errno));
    return Status::Ok();
}

}  // namespace

Result<std::filesystem::path> UserDataDirectory() {
    if (auto xdg = environmentValue("XDG_DATA_HOME"); xdg && xdg->front() == '/')
        return std::filesystem::path(*xdg) / "vela";
    std::optional<std::string> home = environmentValue("HOME");
    if (!home) {
        if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
            home = std::string(entry->pw_dir);
    }
    if (!home) return Result<std::filesystem::path>::Fail("cannot find the home directory");
    return std::filesystem::path(*home) / ".local" / "share" / "vela";
}

Result<std::filesystem::path> ResolveDataDirectory(const std::optional<std::string>& dir,
                                                   bool userData) {
    if (dir && userData)
        return Result<std::filesystem::path>::Fail("--dir and --user-data cannot be used together");
    if (dir) return madeAbsolute(*dir);
    if (userData) {
        auto path = UserDataDirectory();
        if (!path) return path;
        if (Status made = createOwnerOnly(path.value()); !made) return made;
        return madeAbsolute(path.value());
    }
    if (auto fromEnvironment = environmentValue("VELA_DIR")) return madeAbsolute(*fromEnvironment);
    return madeAbsolute(std::filesystem::current_path());
}

}  // namespace vela
