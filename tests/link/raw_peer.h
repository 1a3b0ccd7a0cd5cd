#pragma once

// A caller on 127.0.0.1 made of a plain POSIX socket, for the faults a Qt socket cannot
// produce on purpose: a reset (SO_LINGER 0), a half close, a tiny receive window, a flood
// from another thread. Every call that can wait is bounded by the socket's time-outs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

namespace vela::test {

class RawPeer {
public:
    // How the other side ended the connection, as this peer sees it.
    enum class End { StillOpen, Closed, Reset };

    RawPeer() = default;
    explicit RawPeer(int fd) : fd_(fd) {}
    ~RawPeer() { close(); }
    RawPeer(RawPeer&& other) noexcept
        : received(std::move(other.received)), fd_(std::exchange(other.fd_, -1)) {}
    RawPeer& operator=(RawPeer&& other) noexcept {
        if (this != &other) {
            close();
            received = std::move(other.received);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    // A blocking connect: the kernel completes it whether or not the listener's owner
    // has accepted yet. `receiveBuffer` > 0 shrinks the window the sender sees; `source`
    // (host order, a 127.x.y.z address) is the caller's own address.
    static std::optional<RawPeer> connectTo(
        uint16_t port, int receiveBuffer = 0,
        std::chrono::milliseconds ioLimit = std::chrono::seconds(5),
        uint32_t source = INADDR_LOOPBACK) {
        RawPeer peer(::socket(AF_INET, SOCK_STREAM, 0));
        if (peer.fd_ < 0) return std::nullopt;
        if (source != INADDR_LOOPBACK) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(source);
            if (::bind(peer.fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
                return std::nullopt;
        }
        if (receiveBuffer > 0) {
            ::setsockopt(peer.fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        peer.setTimeouts(ioLimit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(peer.fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return std::nullopt;
        return peer;
    }

    int fd() const { return fd_; }

    void setTimeouts(std::chrono::milliseconds limit) {
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

    bool sendAll(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads until `count` bytes have come, the connection ends or the time-out hits.
    std::string receive(std::size_t count) {
        std::string out;
        char buffer[4096];
        while (out.size() < count) {
            const std::size_t want = std::min(sizeof buffer, count - out.size());
            const ssize_t n = ::recv(fd_, buffer, want, 0);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

    // Closes with SO_LINGER 0: the kernel sends a reset instead of a close.
    void reset() {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Without waiting: whether the other side has ended the connection. Data that came
    // is read into `received`.
    End pollEnd() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) return End::Closed;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return End::StillOpen;
            return End::Reset;
        }
    }

    // What pollEnd() has read so far.
    std::string received;

private:
    int fd_ = -1;
};

// Open descriptors of this process.
inline std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Resident set size of this process, in bytes.
inline std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace vela::test
