#include "common/file_access.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace vela {

namespace {

std::string shownName(const std::filesystem::path& path) { return path.string(); }

// What kind of thing a non-regular file is, for the refusal.
const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

std::string ErrnoText(int error) { return std::generic_category().message(error); }

Result<std::string> ReadLimited(int fd, std::size_t limit, const std::string& name) {
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Standard input may be a non-blocking pipe: wait for it.
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(fd, &readable);
                if (::select(fd + 1, &readable, nullptr, nullptr, nullptr) < 0 && errno != EINTR)
                    return Result<std::string>::Fail("cannot read " + name + ": " +
                                                     ErrnoText(errno));
                continue;
            }
            return Result<std::string>::Fail("cannot read " + name + ": " + ErrnoText(errno));
        }
        if (got == 0) break;
        // Keep at most one byte past the limit: enough to know the file is too large.
        const std::size_t room = limit + 1 - content.size();
        content.append(buffer, std::min(room, static_cast<std::size_t>(got)));
        if (content.size() > limit) {
            return Result<std::string>::Fail(name + " is larger than " + std::to_string(limit) +
                                             " bytes");
        }
    }
    return content;
}

Result<std::string> ReadRegularFile(const std::filesystem::path& path, std::size_t limit) {
    if (path == "-") return ReadLimited(STDIN_FILENO, limit, "standard input");
    const std::string name = shownName(path);
    // Non-blocking, so that opening a FIFO without a writer does not hang.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) return Result<std::string>::Fail("cannot open " + name + ": " + ErrnoText(errno));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return Result<std::string>::Fail("cannot read " + name + ": " + ErrnoText(errno));
    if (!S_ISREG(info.st_mode))
        return Result<std::string>::Fail("cannot read " + name + ": " + fileKind(info.st_mode) +
                                         ", not a regular file");
    if (static_cast<std::uintmax_t>(info.st_size) > limit)
        return Result<std::string>::Fail(name + " is larger than " + std::to_string(limit) +
                                         " bytes");
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    return ReadLimited(file.get(), limit, name);
}

Result<std::string> ReadSecretFile(const std::string& path) {
    auto content = ReadRegularFile(path, 4096);
    if (!content) return content;
    std::string secret = std::move(content.value());
    if (const auto end = secret.find_first_of("\r\n"); end != std::string::npos) secret.resize(end);
    return secret;
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Status FileHandle::writeAll(std::string_view data) const {
    while (!data.empty()) {
        const ssize_t written = ::write(fd_, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return Status::Fail(ErrnoText(errno));
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return Status::Ok();
}

Status FileHandle::close() {
    if (fd_ < 0) return Status::Ok();
    const int fd = release();
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int syncError = errno;
    if (::close(fd) != 0) return Status::Fail(ErrnoText(errno));
    if (!synced) return Status::Fail(ErrnoText(syncError));
    return Status::Ok();
}

Result<FileHandle> CreatePrivateFile(const std::filesystem::path& path) {
    const std::string name = shownName(path);
    // O_NOFOLLOW: a link planted in the file's place is refused, never followed.
    // O_NONBLOCK: a FIFO in its place does not hang the open.
    FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                           S_IRUSR | S_IWUSR));
    if (!file.valid()) {
        const int error = errno;
        if (error == ELOOP)
            return Result<FileHandle>::Fail("cannot write " + name + ": it is a symbolic link");
        return Result<FileHandle>::Fail("cannot write " + name + ": " + ErrnoText(error));
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return Result<FileHandle>::Fail("cannot write " + name + ": " + ErrnoText(errno));
    if (!S_ISREG(info.st_mode))
        return Result<FileHandle>::Fail("cannot write " + name + ": " + fileKind(info.st_mode) +
                                        ", not a regular file");
    if (info.st_uid != ::geteuid())
        return Result<FileHandle>::Fail("cannot write " + name + ": it belongs to another user");
    if (::fchmod(file.get(), S_IRUSR | S_IWUSR) != 0 || ::ftruncate(file.get(), 0) != 0)
        return Result<FileHandle>::Fail("cannot write " + name + ": " + ErrnoText(errno));
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

Status WritePrivateFile(const std::filesystem::path& path, std::string_view content) {
    auto file = CreatePrivateFile(path);
    if (!file) return file.status();
    if (Status written = file.value().writeAll(content); !written)
        return Status::Fail("cannot write " + shownName(path) + ": " + written.message());
    if (Status closed = file.value().close(); !closed)
        return Status::Fail("cannot write " + shownName(path) + ": " + closed.message());
    return Status::Ok();
}

}  // namespace vela
