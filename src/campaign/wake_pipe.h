#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace vela {

// A pipe whose read end wakes the listener's poll.
class WakePipe {
public:
    WakePipe() {
        if (::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~WakePipe() {
        for (int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;
    bool ok() const { return fds_[0] >= 0; }
    int readEnd() const { return fds_[0]; }
    // Async-signal-safe: a stop from a signal handler comes through here.
    void wake() const {
        if (fds_[1] < 0) return;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(fds_[1], &byte, 1);
    }

private:
    int fds_[2] = {-1, -1};
};

}  // namespace vela
