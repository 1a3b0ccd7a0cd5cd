#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Small blocking-with-limits TCP helpers for the tool tests. Everything stays on
// loopback and every wait is bounded.
namespace vela::test {

using std::chrono::milliseconds;

class LoopbackConnection {
public:
    explicit LoopbackConnection(int fd = -1) : fd_(fd) {}
    ~LoopbackConnection();
    LoopbackConnection(LoopbackConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    LoopbackConnection& operator=(LoopbackConnection&& other) noexcept;
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    // Connects to address:port, from `source` when given (to pick the peer address).
    static LoopbackConnection connectTo(const std::string& address, uint16_t port,
                                        const std::string& source = "");

    bool valid() const { return fd_ >= 0; }
    bool sendAll(std::string_view bytes);
    // Reads until `count` bytes came, the peer closed, or `limit` passed.
    std::string read(std::size_t count, milliseconds limit);
    // Reads until the peer closes (true) or `limit` passes (false); bytes go to `out`.
    bool readUntilClosed(std::string& out, milliseconds limit);
    // Whether any byte (or the close) can be read now without waiting.
    bool readable(milliseconds limit);
    void close();

private:
    int fd_;
};

class LoopbackListener {
public:
    // Listens on address:port (port 0: any free one).
    explicit LoopbackListener(const std::string& address = "127.0.0.1", uint16_t port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool valid() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    // One incoming connection within `limit`, or an invalid one.
    LoopbackConnection accept(milliseconds limit);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// The number after the last "PREFIX" in `text` (e.g. the port of "listening on
// 127.0.0.1:"), or nothing.
std::optional<uint16_t> portAfter(const std::string& text, const std::string& prefix);

}  // namespace vela::test
