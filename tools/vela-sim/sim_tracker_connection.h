#pragma once

#include "common/result.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The simulated tracker's TCP connection: non-blocking socket, every wait bounded by a
// deadline.
namespace velasim {

using Deadline = std::chrono::steady_clock::time_point;

class TrackerConnection {
public:
    // Connects to host:port, trying again every 100 ms until the deadline, since the
    // listener may come up a moment after the tracker starts.
    static vela::Result<TrackerConnection> Connect(const std::string& host, uint16_t port,
                                                   Deadline deadline);

    TrackerConnection(TrackerConnection&& other) noexcept;
    TrackerConnection& operator=(TrackerConnection&& other) noexcept;
    TrackerConnection(const TrackerConnection&) = delete;
    TrackerConnection& operator=(const TrackerConnection&) = delete;
    ~TrackerConnection();

    const std::string& peer() const { return peer_; }  // "ADDRESS:PORT"
    vela::Status SendAll(std::span<const uint8_t> bytes, Deadline deadline);
    // Appends exactly `count` bytes to `out`; fails on close or at the deadline, saying
    // how many came.
    vela::Status ReadExact(std::size_t count, std::vector<uint8_t>& out, Deadline deadline);
    // Orderly end: no more sending, then wait (bounded) for the other side to close, so
    // that nothing unread turns the close into a reset that could drop the last bytes.
    void Finish(Deadline deadline);

private:
    TrackerConnection(int fd, std::string peer);
    bool WaitFor(short events, Deadline deadline);
    int fd_ = -1;
    std::string peer_;
};

}  // namespace velasim
