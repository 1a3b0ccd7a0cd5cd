#pragma once

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vela {

// True when another process with `pid` lives (this process is never "another").
inline bool OtherProcessAlive(int64_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace vela
