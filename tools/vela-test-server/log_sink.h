#pragma once

#include "common/unique_fd.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace velatestserver {

using vela::UniqueFd;

// The server's log on standard output, written without ever blocking the event loop.
// Lines wait in a bounded buffer while the reader is slow; when the buffer is full a
// line is dropped and counted, and the count is logged once there is room again.
class LogSink {
public:
    // Takes over descriptor `fd` (standard output) for non-blocking writes. A pipe or a
    // terminal is reopened through /proc so that its flags stay untouched for the other
    // processes that share it; a socket is written with MSG_DONTWAIT.
    explicit LogSink(int fd, std::size_t capacity = 64 * 1024);

    // Queues one line (the line feed is added) and writes what the output takes now.
    void Line(std::string_view line);
    // Queues a closing line even when the buffer is full (one past the bound, once).
    void Final(std::string_view line);
    // Writes what the output takes without waiting.
    void Flush();
    // Whether bytes wait for the output.
    bool pending() const { return written_ < buffer_.size(); }
    // The descriptor to wait on for room, or -1 when writes never wait (a file).
    int pollFd() const { return waitable_ ? fd_ : -1; }
    std::size_t dropped() const { return dropped_; }
    // At exit: keeps writing for at most `limit`; true when everything went out.
    bool FlushWithin(std::chrono::milliseconds limit);

private:
    void Queue(std::string_view line);

    UniqueFd reopened_;
    int fd_ = -1;
    bool socket_ = false;
    bool waitable_ = false;
    bool broken_ = false;  // the reader is gone: nothing more is written
    std::size_t capacity_;
    std::string buffer_;
    std::size_t written_ = 0;  // bytes of buffer_ already out
    std::size_t dropped_ = 0;  // lines dropped since the last note
};

}  // namespace velatestserver
