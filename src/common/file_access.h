#pragma once

// Reading files from outside and writing files that hold secrets, safely: only regular
// files are read (a FIFO, device or directory is refused rather than hanging or
// flooding the program), reading stops one byte past a size limit without allocating
// the claimed size, and private files are created owner-only without following a link
// planted in their place.
#include "common/result.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vela {

// The whole content of a regular file, or of standard input when `path` is "-".
// Refused with the reason: a missing or unreadable file, a directory, a FIFO, a device,
// a symbolic link loop, or more than `limit` bytes ("NAME is larger than LIMIT bytes").
Result<std::string> ReadRegularFile(const std::filesystem::path& path, std::size_t limit);

// Reads descriptor `fd` to its end, refusing more than `limit` bytes; `name` is used in
// the messages.
Result<std::string> ReadLimited(int fd, std::size_t limit, const std::string& name);

// A secret given through a file ("-" for standard input): its first line, without the
// line end. At most 4096 bytes are read.
Result<std::string> ReadSecretFile(const std::string& path);

// An open file descriptor that is closed when it goes out of scope.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle();
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Writes all of `data` (retrying short writes and interruptions).
    Status writeAll(std::string_view data) const;
    // Flushes to the disk and closes; the failure of either is returned.
    Status close();

private:
    int fd_ = -1;
};

// Creates `path` for writing, readable and writable by the owner only (0600), or empties
// an existing regular file of ours and makes it owner-only. Refused: a symbolic link in
// its place (never followed), anything that is not a regular file, a file of another
// user.
Result<FileHandle> CreatePrivateFile(const std::filesystem::path& path);

// CreatePrivateFile, the whole content, then close.
Status WritePrivateFile(const std::filesystem::path& path, std::string_view content);

// The text of an errno value.
std::string ErrnoText(int error);

}  // namespace vela
