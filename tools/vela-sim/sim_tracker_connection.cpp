#include "sim_tracker_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

namespace velasim {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 3'600'000));
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

std::string numericPeer(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(address, length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return std::string(host) + ":" + service;
}

// One non-blocking connect attempt, bounded by `deadline`; the socket or -1 (errno set).
int connectOnce(const addrinfo& target, Deadline deadline) {
    const int fd = ::socket(target.ai_family, target.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            target.ai_protocol);
    if (fd < 0) return -1;
    if (::connect(fd, target.ai_addr, target.ai_addrlen) == 0) return fd;
    if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, millisecondsLeft(deadline));
        int error = ETIMEDOUT;
        socklen_t length = sizeof error;
        if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (ready > 0 && error == 0) return fd;
        errno = error;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

}  // namespace

vela::Result<TrackerConnection> TrackerConnection::Connect(const std::string& host, uint16_t port,
                                                           Deadline deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        return vela::Result<TrackerConnection>::Fail("cannot resolve " + host + ": " +
                                                     gai_strerror(rc));
    }
    const std::unique_ptr<addrinfo, AddrInfoFree> targets(found);
    int lastError = ETIMEDOUT;
    while (true) {
        for (const addrinfo* target = targets.get(); target; target = target->ai_next) {
            const int fd = connectOnce(*target, deadline);
            if (fd >= 0) {
                const int on = 1;
                // Pieces of a split identification must leave as separate segments.
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                return TrackerConnection(fd, numericPeer(target->ai_addr, target->ai_addrlen));
            }
            lastError = errno;
        }
        if (Clock::now() + std::chrono::milliseconds(100) >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return vela::Result<TrackerConnection>::Fail("cannot connect to " + host + ":" + service +
                                                 ": " + std::strerror(lastError));
}

TrackerConnection::TrackerConnection(int fd, std::string peer) : fd_(fd), peer_(std::move(peer)) {}

TrackerConnection::TrackerConnection(TrackerConnection&& other) noexcept
    : fd_(other.fd_), peer_(std::move(other.peer_)) {
    other.fd_ = -1;
}

TrackerConnection& TrackerConnection::operator=(TrackerConnection&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        peer_ = std::move(other.peer_);
        other.fd_ = -1;
    }
    return *this;
}

TrackerConnection::~TrackerConnection() {
    if (fd_ >= 0) ::close(fd_);
}

bool TrackerConnection::WaitFor(short events, Deadline deadline) {
    while (true) {
        pollfd p{fd_, events, 0};
        const int ready = ::poll(&p, 1, millisecondsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

vela::Status TrackerConnection::SendAll(std::span<const uint8_t> bytes, Deadline deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return vela::Status::Fail(std::string("send failed: ") + std::strerror(errno));
        }
        if (!WaitFor(POLLOUT, deadline)) return vela::Status::Fail("send timed out");
    }
    return vela::Status::Ok();
}

vela::Status TrackerConnection::ReadExact(std::size_t count, std::vector<uint8_t>& out,
                                          Deadline deadline) {
    std::size_t got = 0;
    uint8_t buffer[4096];
    while (got < count) {
        const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got), 0);
        if (n > 0) {
            out.insert(out.end(), buffer, buffer + n);
            got += static_cast<std::size_t>(n);
            continue;
        }
        const std::string progress = std::to_string(got) + " of " + std::to_string(count);
        if (n == 0) return vela::Status::Fail("connection closed after " + progress + " bytes");
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return vela::Status::Fail("receive failed after " + progress +
                                      " bytes: " + std::strerror(errno));
        }
        if (!WaitFor(POLLIN, deadline)) {
            return vela::Status::Fail("timed out after " + progress + " bytes");
        }
    }
    return vela::Status::Ok();
}

void TrackerConnection::Finish(Deadline deadline) {
    if (fd_ < 0) return;
    ::shutdown(fd_, SHUT_WR);
    uint8_t buffer[512];
    while (WaitFor(POLLIN, deadline)) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            break;
        }
    }
    ::close(fd_);
    fd_ = -1;
}

}  // namespace velasim
