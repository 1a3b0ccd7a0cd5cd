#include "log_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <cerrno>

namespace velatestserver {

LogSink::LogSink(int fd, std::size_t capacity) : fd_(fd), capacity_(capacity) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        broken_ = true;
        return;
    }
    if (S_ISSOCK(info.st_mode)) {
        socket_ = true;
        waitable_ = true;
    } else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
        // Setting O_NONBLOCK on the inherited descriptor would change it for the shell
        // or the other end's writers too; a second opening has flags of its own.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        reopened_ = UniqueFd(::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (reopened_.valid()) {
            fd_ = reopened_.get();
            waitable_ = true;
        }
        // Without /proc the writes stay blocking, as any program's would.
    }
}

void LogSink::Line(std::string_view line) {
    if (broken_) return;
    if (dropped_ > 0) {
        const std::string note = "vela-test-server: " + std::to_string(dropped_) +
                                 " log lines dropped while the output was stalled";
        if (buffer_.size() - written_ + note.size() + 1 > capacity_) {
            ++dropped_;
            Flush();
            return;
        }
        dropped_ = 0;
        Queue(note);
    }
    if (buffer_.size() - written_ + line.size() + 1 > capacity_) {
        ++dropped_;
    } else {
        Queue(line);
    }
    Flush();
}

void LogSink::Final(std::string_view line) {
    if (broken_) return;
    if (dropped_ > 0) {
        Queue("vela-test-server: " + std::to_string(dropped_) +
              " log lines dropped while the output was stalled");
        dropped_ = 0;
    }
    Queue(line);
    Flush();
}

void LogSink::Queue(std::string_view line) {
    if (written_ > 0 && written_ >= buffer_.size() / 2) {
        buffer_.erase(0, written_);
        written_ = 0;
    }
    buffer_.append(line);
    buffer_.push_back('\n');
}

void LogSink::Flush() {
    while (!broken_ && pending()) {
        const char* data = buffer_.data() + written_;
        const std::size_t size = buffer_.size() - written_;
        const ssize_t n = socket_ ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            broken_ = true;  // EPIPE and the like: nobody reads the log any more
            break;
        }
        written_ += static_cast<std::size_t>(n);
    }
    if (!pending() || broken_) {
        buffer_.clear();
        written_ = 0;
    }
}

bool LogSink::FlushWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Flush();
    while (pending() && waitable_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd room{fd_, POLLOUT, 0};
        if (::poll(&room, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        Flush();
    }
    return !pending();
}

}  // namespace velatestserver
