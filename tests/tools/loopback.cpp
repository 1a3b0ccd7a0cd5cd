#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace vela::test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in endpoint(const std::string& address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

bool waitReadable(int fd, Clock::time_point deadline) {
    while (true) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left < 0 ? 0 : left));
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

}  // namespace

LoopbackConnection::~LoopbackConnection() {
    close();
}

LoopbackConnection& LoopbackConnection::operator=(LoopbackConnection&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

LoopbackConnection LoopbackConnection::connectTo(const std::string& address, uint16_t port,
                                                 const std::string& source) {
    LoopbackConnection c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!c.valid()) return c;
    if (!source.empty()) {
        const sockaddr_in from = endpoint(source, 0);
        if (::bind(c.fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            return LoopbackConnection();
        }
    }
    const sockaddr_in to = endpoint(address, port);
    if (::connect(c.fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        return LoopbackConnection();
    }
    return c;
}

bool LoopbackConnection::sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string LoopbackConnection::read(std::size_t count, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string out;
    char buffer[4096];
    while (out.size() < count && waitReadable(fd_, deadline)) {
        const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

bool LoopbackConnection::readUntilClosed(std::string& out, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    while (waitReadable(fd_, deadline)) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return true;  // closed (or reset)
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return false;
}

bool LoopbackConnection::readable(milliseconds limit) {
    return waitReadable(fd_, Clock::now() + limit);
}

void LoopbackConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

LoopbackListener::LoopbackListener(const std::string& address, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = endpoint(address, port);
    socklen_t length = sizeof a;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_, 64) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
}

LoopbackConnection LoopbackListener::accept(milliseconds limit) {
    if (fd_ < 0 || !waitReadable(fd_, Clock::now() + limit)) return LoopbackConnection();
    return LoopbackConnection(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

std::optional<uint16_t> portAfter(const std::string& text, const std::string& prefix) {
    const std::size_t at = text.rfind(prefix);
    if (at == std::string::npos) return std::nullopt;
    unsigned value = 0;
    std::size_t i = at + prefix.size();
    const std::size_t first = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= 65535; ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (i == first || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

}  // namespace vela::test
